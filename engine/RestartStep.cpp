#include "engine/RestartStep.h"

#include "engine/DetectDeviceInfo.h"
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

    if (run.ownPort.isNotEmpty())
        state.port1Name = std::exchange (run.ownPort, {});

    keyboardPorts.addIfNotAlreadyThere (state.port1Name);

    inputsBefore = midiManager->getInputNames();
    outputsBefore = midiManager->getOutputNames();

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
    if (probe != nullptr || ! wait->isPortAway())
        return;

    juce::StringArray inputs, outputs;

    for (auto& name : midiManager->getInputNames())
        if (! inputsBefore.contains (name))
            inputs.add (name);

    for (auto& name : midiManager->getOutputNames())
        if (! outputsBefore.contains (name))
            outputs.add (name);

    // Followed only where it is the one keyboard there: which of two is which cannot be
    // told by names, and the firmware or the user's data must not go to the other.
    const auto several = KeyboardPortNames::countKeyboards (midiManager->getOutputNames()) > 1;
    const auto found = KeyboardPortNames::find (inputs, outputs, state.model);
    wait->setSeveralKeyboards (several);

    if (! found.has_value() || several)
        return;

    note ("the keyboard is back as \"" + found->port1 + "\"");
    inputsBefore.addArray (inputs);
    outputsBefore.addArray (outputs);
    awayPort = state.port1Name;
    state.port1Name = found->port1;
    keyboardPorts.add (found->port1);
    state.port3Name = found->port3;
    followedPorts = found->inputs;
    followedPorts.addIfNotAlreadyThere (found->port1);
    ApplicationEngine::DetectDeviceInfo::openPorts (*midiManager, *found);

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
    if (! confirmed && followedPorts.size() > 0)
    {
        keyboardPorts.removeString (state.port1Name);
        state.port1Name = awayPort;

        for (auto& name : std::exchange (followedPorts, {}))
            midiManager->closePorts (name);

        wait->portWentAway();
        later ([this]
               { probe.reset(); });
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
