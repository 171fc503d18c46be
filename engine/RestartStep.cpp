#include "engine/RestartStep.h"

#include "engine/UpdateRun.h"

RestartStep::~RestartStep()
{
    probe.reset();
    wait.reset();
    portWatch.reset();
}

void RestartStep::start()
{
    // With its new firmware the keyboard comes back under its own names, not those of
    // its update mode; where those are not known, it is sought among the names new from
    // now on. A loader that refused an image restarts it in its update mode, under the
    // names the firmware went to.
    keyboardPorts.add (state.port1Name);

    // Its own names are known where the update found it in its firmware, or followed it
    // from there: it is awaited under them alone, so that no other keyboard plugged in
    // meanwhile is taken for it. Otherwise it is sought.
    mayFollow = run.ownPort.isEmpty() && engine.getRunKind() != RunKind::normal;

    if (run.ownPort.isNotEmpty())
        state.port1Name = std::exchange (run.ownPort, {});

    keyboardPorts.addIfNotAlreadyThere (state.port1Name);

    follower.startWaiting();

    portWatch = std::make_unique<UnopenablePortWatch> (
        *midiManager,
        [this]
        { return probe == nullptr ? state.port1Name : juce::String(); },
        [this]
        { fail (EngineError::deviceUnavailable); });
    portWatch->setTimeout (engine.getUnopenablePortTimeout());

    wait = std::make_unique<RestartWaitWatch> (
        RestartWaitWatch::Wait::restart,
        engine.getWaitBounds(),
        RestartWaitWatch::Callbacks {
            [this]
            { return isListed(); },
            [this] (int notice)
            { engine.setWaitNotice (notice); },
            [this] // the port never went away: a restart too quick to be seen, or none
            { confirm(); },
            [this]
            { seekUnderOtherNames(); } });
}

bool RestartStep::isListed() const
{
    for (auto& port : keyboardPorts)
        if (midiManager->isMidiOutputAvailable (port))
            return true;

    return false;
}

bool RestartStep::isKeyboards (const juce::StringArray& names) const
{
    for (auto& port : keyboardPorts)
        if (names.contains (port))
            return true;

    return false;
}

void RestartStep::seekUnderOtherNames()
{
    if (! mayFollow || probe != nullptr || ! wait->isPortAway())
        return;

    const auto found = follower.seek (state.model);
    wait->setSeveralKeyboards (follower.isAmbiguous());

    if (! found.has_value())
        return;

    // Back under names it had, it is the keyboard; under others it may be another.
    note ("the keyboard is back as \"" + found->port1 + "\"");
    followed = ! keyboardPorts.contains (found->port1);
    awayPort = std::exchange (state.port1Name, found->port1);
    state.port3Name = found->port3;
    keyboardPorts.addIfNotAlreadyThere (found->port1);
    wait->portCameBack();
    confirm();
}

void RestartStep::confirm()
{
    if (probe != nullptr)
        return;

    probe = std::make_unique<IdentityProbe> (
        midiManager,
        confirmTries,
        confirmIntervalMs,
        IdentityProbe::Callbacks {
            [this] (double version)
            { answered (version); },
            [this]
            { fail (EngineError::firmwareNotConfirmed); } });
}

void RestartStep::answered (double version)
{
    const auto confirmed = std::abs (version - FirmwareUpdate::embeddedVersion) < 0.001;
    note ("\"" + state.port1Name + "\" answers as firmware " + juce::String (version, 2));

    // Found under other names and running other firmware, it is another keyboard: this
    // one is still away, and nothing more goes to that one.
    if (! confirmed && std::exchange (followed, false))
    {
        keyboardPorts.removeString (state.port1Name);
        state.port1Name = awayPort;
        follower.letGo();
        wait->portWentAway();

        // Its own port may have come back while the other was asked.
        later ([this]
               {
                   probe.reset();

                   if (isListed())
                   {
                       wait->portCameBack();
                       confirm();
                   } });
        return;
    }

    if (! confirmed)
    {
        fail (EngineError::firmwareNotConfirmed);
        return;
    }

    run.confirmedVersion = version;
    done();
}

void RestartStep::outputsGone (const juce::StringArray& names)
{
    // The keyboard restarts here: a port that goes is no failure. Gone while it was
    // being asked, it is asked again once it is back.
    if (isKeyboards (names))
    {
        probe.reset();
        wait->portWentAway();
    }
}

void RestartStep::outputsBack (const juce::StringArray& names)
{
    if (isKeyboards (names))
    {
        wait->portCameBack();
        confirm();
    }
}
