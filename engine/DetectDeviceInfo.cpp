#include "engine/DetectDeviceInfo.h"

#include "engine/DeviceMessages.h"
#include "midi/PrivateDriverRegistry.h"

ApplicationEngine::DetectDeviceInfo::DetectDeviceInfo (MidiManager::Ptr manager, ApplicationEngine* owner)
    : midiManager (std::move (manager))
    , engine (owner)
    , replies ([this] (Reply& reply)
               { replied (reply); })
{
    midiManager->addListener (this);
    startTimer (1000);
}

ApplicationEngine::DetectDeviceInfo::~DetectDeviceInfo()
{
    stopTimer();
    midiManager->removeListener (this);
}

void ApplicationEngine::DetectDeviceInfo::timerCallback()
{
    auto& state = engine->getState();

    scanDevices();
    state.model = KeyboardPortNames::modelOf (state.port1Name);
    engine->notifyModelAndVersion();

    if (state.port1Name.isEmpty())
        return;

    openPorts (*midiManager, found);

    if (state.emergencyMode)
        stopTimer();
    else if (! versionKnown)
        midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (DeviceMessages::buildIdentityRequest()));
}

void ApplicationEngine::DetectDeviceInfo::scanDevices()
{
    auto& state = engine->getState();
    const auto keyboard = KeyboardPortNames::find (midiManager->getInputNames(), midiManager->getOutputNames());

    // A keyboard that vanished keeps its names: its ports are opened again when it is back.
    if (! keyboard.has_value())
        return;

    // Another keyboard's reply port is learnt anew.
    if (keyboard->port3.isNotEmpty() || keyboard->port1 != state.port1Name)
        state.port3Name = keyboard->port3;

    state.port1Name = keyboard->port1;
    state.usesPrivateDriver = keyboard->privateDriver;
    found = *keyboard;
}

void ApplicationEngine::DetectDeviceInfo::openPorts (MidiManager& midiManager, const KeyboardPortNames::Keyboard& keyboard)
{
    midiManager.openMidiOutput (keyboard.port1);

    for (auto& name : keyboard.inputs)
        midiManager.openMidiInput (name);

    // The keyboard's third port is reached through the maker's private driver. The search
    // may keep the message thread for up to half a second while no instance is attached;
    // the manager opens one input per instance, however often it is asked.
    PrivateDeviceDescriptor device;

    if (keyboard.privateDriver && PrivateDriverRegistry::findAttachedPrivateDevice (midiManager.getPrivateDriverSystem(), device, {}) == PrivateDriverRegistry::found)
        midiManager.openPrivateMidiInput (device);
}

void ApplicationEngine::DetectDeviceInfo::handleIncomingMidiMessageFrom (const juce::String& portName, juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    const auto bytes = DeviceMessages::bytesOf (message);

    if (DeviceMessages::isIdentityReply (bytes))
        replies.post ({ DeviceMessages::versionFromIdentityReply (bytes), portName });
}

void ApplicationEngine::DetectDeviceInfo::handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message)
{
    handleIncomingMidiMessageFrom ({}, source, message);
}

void ApplicationEngine::DetectDeviceInfo::replied (const Reply& reply)
{
    auto& state = engine->getState();
    state.version = reply.version;

    // Only names in the newer style leave the third port to be learnt.
    if (state.port3Name.isEmpty() && ! state.usesPrivateDriver && reply.port.isNotEmpty())
        state.port3Name = reply.port;

    versionKnown = true;
    stopTimer();
    engine->notifyModelAndVersion();
}

void ApplicationEngine::DetectDeviceInfo::resumePolling()
{
    if (! isTimerRunning() && ! versionKnown)
        startTimer (1000);
}

void ApplicationEngine::DetectDeviceInfo::midiOutputDeviceDisconnected (juce::StringArray names)
{
    auto& state = engine->getState();

    if (engine->isBusy() || ! names.contains (state.port1Name))
        return;

    // The keyboard plugged in next may run other firmware: its version is read anew, so
    // that no update goes by the version of the one unplugged.
    versionKnown = false;
    state.version = 0.0;
    engine->notifyModelAndVersion();

    if (! state.emergencyMode)
        startTimer (1000);
}
