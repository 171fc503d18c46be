#include "engine/TransferStep.h"

#include "engine/UpdateRun.h"

TransferStep::TransferStep (ApplicationEngine& e, UpdateRun& r, Entry how)
    : UpdateStep (e, r)
    , entry (how)
    , inUpdateMode (how == Entry::alreadyThere)
    , follower (*midiManager)
{
}

TransferStep::~TransferStep()
{
    // The senders end their threads as they go.
    senders = {};
    probe.reset();
    wait.reset();
    portWatch.reset();
}

void TransferStep::start()
{
    // Without a keyboard found, or without a model to address it by, there is nothing to
    // send to: the update ends here rather than waiting for ever.
    if (state.port1Name.isEmpty() || (entry != Entry::alreadyThere && ! engine.getModelCode().has_value()))
    {
        fail (EngineError::deviceUnavailable);
        return;
    }

    run.transferStarted();

    // A port the system lists but that will not open (another program may hold it)
    // would keep every wait here going for ever.
    portWatch = std::make_unique<UnopenablePortWatch> (
        *midiManager,
        [this]
        { return phase == Phase::sending ? juce::String() : state.port1Name; },
        [this]
        { fail (EngineError::deviceUnavailable); });
    portWatch->setTimeout (engine.getUnopenablePortTimeout());
    waitForPort();
}

bool TransferStep::portIsReady() const
{
    return midiManager->isMidiOutputAvailable (state.port1Name) && midiManager->isMidiOutputOpen (state.port1Name);
}

void TransferStep::waitForPort()
{
    phase = Phase::waitingForPort;
    midiManager->openMidiOutput (state.port1Name);

    if (portIsReady())
        portReady();
    else
        watch (RestartWaitWatch::Wait::port);
}

void TransferStep::portReady()
{
    // A keyboard found under other names is asked before anything is sent to it.
    if (inUpdateMode)
        sendImages();
    else if (entry == Entry::enterUpdateMode && entriesSent == 0 && ! followed)
        enterUpdateMode();
    else
        askWhatItRuns();
}

void TransferStep::enterUpdateMode()
{
    const auto message = DeviceMessages::buildEnterUpdateMode (engine.getModelCode());
    ++entriesSent;
    phase = Phase::entering;
    follower.startWaiting();

    // A try again that found the keyboard running its firmware shows the erase now.
    if (state.status != EngineStatus::erasingFirmware)
        engine.setStatus (EngineStatus::erasingFirmware, 0.0);

    watch (RestartWaitWatch::Wait::updateModeEntry);

    // One that an open port refused never reached the keyboard: no restart would come.
    if (! midiManager->sendMessageToOutput (state.port1Name, DeviceMessages::toMidiMessage (*message))
        && midiManager->isMidiOutputOpen (state.port1Name))
        fail (EngineError::deviceUnavailable);
}

void TransferStep::askWhatItRuns()
{
    phase = Phase::asking;
    probe = std::make_unique<IdentityProbe> (
        midiManager,
        askTries,
        askIntervalMs,
        IdentityProbe::Callbacks {
            [this] (double version)
            {
                note ("\"" + state.port1Name + "\" answers as firmware " + juce::String (version, 2) + ": not a keyboard in its update mode");
                later ([this]
                       {
                           // Unless its port went meanwhile, and the asking with it.
                           if (phase == Phase::asking)
                               firmwareAnswered(); });
            },
            [this]
            {
                later ([this]
                       {
                           if (phase != Phase::asking)
                               return;

                           inUpdateMode = true;
                           probe.reset();
                           portIsReady() ? sendImages() : waitForPort(); });
            } });
}

void TransferStep::firmwareAnswered()
{
    probe.reset();
    phase = Phase::entering;

    // Listed anew and answering, it is another keyboard: this one is still away, and
    // nothing more goes to that one.
    if (followed)
    {
        followed = false;
        inUpdateMode = entry == Entry::alreadyThere;
        state.port1Name = std::exchange (run.ownPort, {});
        follower.letGo();

        // Its own port may have come back while the other was asked.
        if (portIsReady())
            portReady();
        else if (wait != nullptr)
            wait->portWentAway();

        return;
    }

    // Its own port only went and came back: it never entered its update mode. Told
    // often enough, the wait goes on and says so in its time.
    if (entriesSent < maxEntries)
        enterUpdateMode();
    else
        watch (RestartWaitWatch::Wait::updateModeEntry);
}

void TransferStep::seekUnderOtherNames()
{
    // While it is away after Enter Update Mode, or, for a try again or an emergency
    // update, not there to start with: it may wait in its update mode under other names.
    // A normal update enters it from the names it was found under, or not at all.
    const auto seeking = phase == Phase::entering || (phase == Phase::waitingForPort && entry != Entry::enterUpdateMode);

    if (! seeking || followed)
        return;

    const auto away = ! midiManager->isMidiOutputAvailable (state.port1Name);
    const auto found = away ? follower.seek (state.model) : std::nullopt;
    wait->setSeveralKeyboards (away && follower.isAmbiguous());

    if (! found.has_value())
        return;

    // Followed, and asked like any keyboard that comes back: its own names are kept for
    // its restart into the new firmware. Names found there prove nothing of its mode.
    note ("the keyboard is listed anew as \"" + found->port1 + "\"");
    run.ownPort = state.port1Name;
    state.port1Name = found->port1;
    followed = true;
    inUpdateMode = false;
    wait->portCameBack();

    // Not from inside the wait's own tick, which the new wait replaces.
    later ([this]
           { waitForPort(); });
}

void TransferStep::sendImages()
{
    phase = Phase::sending;
    wait.reset();
    const auto images = FirmwareUpdate::makeImages (state.port1Name);
    appBlocks = images[FirmwareUpdate::app]->getBlockCount();
    totalBlocks = appBlocks + images[FirmwareUpdate::assets]->getBlockCount();

    for (int image = 0; image < FirmwareUpdate::numImages; ++image)
        senders[(size_t) image] = new FirmwareSysexSender (images[image], midiManager, this);

    if (! senders[(size_t) current]->start())
        fail (EngineError::deviceUnavailable);
}

void TransferStep::watch (RestartWaitWatch::Wait kind)
{
    wait.reset();
    wait = std::make_unique<RestartWaitWatch> (
        kind,
        engine.getWaitBounds(),
        RestartWaitWatch::Callbacks {
            [this]
            { return midiManager->isMidiOutputAvailable (state.port1Name); },
            [this] (int notice)
            { engine.setWaitNotice (notice); },
            nullptr,
            [this]
            { seekUnderOtherNames(); } });
}

void TransferStep::outputsGone (const juce::StringArray& names)
{
    if (! names.contains (state.port1Name))
        return;

    if (phase != Phase::sending)
    {
        // Gone while asked: it restarts after all, perhaps into its update mode.
        if (phase == Phase::asking)
            phase = inUpdateMode ? Phase::waitingForPort : Phase::entering;

        probe.reset();

        if (wait != nullptr)
            wait->portWentAway();

        return;
    }

    // The keyboard restarts as soon as it has the assets image's last block, and the poll
    // may tell of it before that sender's own news: the restart, not a loss. Lost at any
    // other point, even between the images, the keyboard lacks firmware it was sent.
    if (! (current == FirmwareUpdate::assets && senders[(size_t) current]->hasReachedTheLastBlock()))
        fail (EngineError::deviceUnavailable);
}

void TransferStep::outputsBack (const juce::StringArray& names)
{
    if (! names.contains (state.port1Name) || phase == Phase::sending || phase == Phase::asking)
        return;

    if (wait != nullptr)
        wait->portCameBack();

    if (portIsReady())
        portReady();
}

void TransferStep::progress (FirmwareSysexSender*, double)
{
    // One progress over both images: once the app image is through, it counts in full.
    auto sent = senders[(size_t) current]->getBlocksSent();

    if (current == FirmwareUpdate::assets)
        sent += appBlocks;

    engine.setStatus (state.status, (double) sent / (double) totalBlocks);
}

void TransferStep::status (FirmwareSysexSender* sender, FirmwareSysexSender::Status news)
{
    const auto image = sender == senders[FirmwareUpdate::app].get() ? FirmwareUpdate::app : FirmwareUpdate::assets;

    switch (news)
    {
        case FirmwareSysexSender::Status::started:
            engine.setStatus (image == FirmwareUpdate::app ? EngineStatus::sendingApp : EngineStatus::sendingAssets, state.progress);
            break;

        case FirmwareSysexSender::Status::completed:
            if (image == FirmwareUpdate::assets)
                done();
            else if (! senders[(size_t) (current = FirmwareUpdate::assets)]->start())
                fail (EngineError::deviceUnavailable);

            break;

        case FirmwareSysexSender::Status::deviceOffline:
            fail (EngineError::deviceUnavailable);
            break;
    }
}
