#include "engine/ConfirmNewFirmware.h"

ApplicationEngine::ConfirmNewFirmware::ConfirmNewFirmware (MidiManager::Ptr manager, ApplicationEngine* owner, double expected)
    : midiManager (std::move (manager))
    , engine (owner)
    , expectedVersion (expected)
{
    midiManager->addListener (this);
    ask();
    startTimer (intervalMs);
}

ApplicationEngine::ConfirmNewFirmware::~ConfirmNewFirmware()
{
    stopTimer();
    midiManager->removeListener (this);
}

void ApplicationEngine::ConfirmNewFirmware::ask()
{
    ++asked;
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (DeviceMessages::buildIdentityRequest()));
}

void ApplicationEngine::ConfirmNewFirmware::timerCallback()
{
    if (asked < tries)
    {
        ask();
        return;
    }

    stopTimer();

    // Reported once this call has returned: the report deletes this object.
    if (! decided.exchange (true))
        engine->reportErrorLater (EngineError::firmwareNotConfirmed);
}

void ApplicationEngine::ConfirmNewFirmware::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    const auto bytes = DeviceMessages::bytesOf (message);

    if (! DeviceMessages::isIdentityReply (bytes) || decided.exchange (true))
        return;

    const auto version = DeviceMessages::versionFromIdentityReply (bytes);

    if (std::abs (version - expectedVersion) < 0.001)
        engine->firmwareConfirmed (version);
    else
        engine->reportError (EngineError::firmwareNotConfirmed);
}
