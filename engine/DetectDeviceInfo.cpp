#include "engine/DetectDeviceInfo.h"

#include "engine/DeviceMessages.h"
#include "midi/PrivateDriverRegistry.h"

#include <map>
#include <regex>

ApplicationEngine::DetectDeviceInfo::DetectDeviceInfo (MidiManager::Ptr manager, ApplicationEngine* owner)
    : midiManager (std::move (manager))
    , engine (owner)
{
    midiManager->addListener (this);
    startPolling (1000);
}

ApplicationEngine::DetectDeviceInfo::~DetectDeviceInfo()
{
    stopPolling();
    midiManager->removeListener (this);
    cancelPendingUpdate();
    midiManager = nullptr;
}

int ApplicationEngine::DetectDeviceInfo::modelFromPortName (const juce::String& port1Name)
{
    for (int model = HardwareModel::morelta25; model <= HardwareModel::morelta61; ++model)
        if (port1Name.contains (HardwareModel::nameOf (model)))
            return model;

    return HardwareModel::unknown;
}

int ApplicationEngine::DetectDeviceInfo::countKeyboards (const juce::StringArray& outputNames)
{
    // The marks by which the system tells identical devices apart, so that what is left
    // is the name a lone keyboard would have.
    static const std::regex countedPrefix (R"((^|\()[0-9]+- )"), countedSuffix (R"(-[0-9]+$)");
    std::map<int, std::map<std::string, int>> namesByModel;

    for (auto& name : outputNames)
    {
        const auto upper = name.toUpperCase();
        const auto model = modelFromPortName (upper);

        if (model == HardwareModel::unknown)
            continue;

        auto plain = std::regex_replace (upper.toStdString(), countedPrefix, "$1");
        plain = std::regex_replace (plain, countedSuffix, "");
        ++namesByModel[model][plain];
    }

    int keyboards = 0;

    for (auto& [model, names] : namesByModel)
    {
        int most = 0;

        for (auto& [plain, count] : names)
            most = juce::jmax (most, count);

        keyboards += most;
    }

    return keyboards;
}

void ApplicationEngine::DetectDeviceInfo::timerCallback()
{
    auto& state = engine->getState();

    scanDevices();
    state.model = modelFromPortName (state.port1Name);
    engine->notifyModelAndVersion();

    if (state.port1Name.isEmpty())
        return;

    midiManager->openMidiInput (state.port1Name);
    midiManager->openMidiOutput (state.port1Name);

    if (state.usesPrivateDriver)
        openPrivateInput();
    else if (! candidateInputs.isEmpty())
        for (auto& name : candidateInputs)
            midiManager->openMidiInput (name);
    else
        midiManager->openMidiInput (state.port3Name);

    if (state.emergencyMode)
        stopPolling();
    else if (! versionKnown)
        midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (DeviceMessages::buildIdentityRequest()));
}

void ApplicationEngine::DetectDeviceInfo::scanDevices()
{
    auto& state = engine->getState();

    const auto inputs = midiManager->getInputNames();

    for (auto& name : inputs)
    {
        const auto upper = name.toUpperCase();

        if (! upper.contains ("MORELTA"))
            continue;

        if (upper.contains ("USB PORT 1"))
        {
            juce::String port3;

            if (upper.contains ("MORELTA25"))
                port3 = "MORELTA25 PRIVATE PORT 3";
            else if (upper.contains ("MORELTA49"))
                port3 = "MORELTA49 PRIVATE PORT 3";

            if (upper.contains ("MORELTA61"))
                port3 = "MORELTA61 PRIVATE PORT 3";

            state.port1Name = name;
            state.port3Name = port3;
            state.usesPrivateDriver = true;
            candidateInputs.clear();
            return;
        }

        if (upper.contains ("MIDIIN3"))
        {
            if (upper.contains ("MORELTA25"))
                state.port1Name = "MORELTA25";
            else if (upper.contains ("MORELTA49"))
                state.port1Name = "MORELTA49";

            if (upper.contains ("MORELTA61"))
                state.port1Name = "MORELTA61";

            state.port3Name = name;
            state.usesPrivateDriver = false;
            candidateInputs.clear();
            return;
        }
    }

    scanNewStyleNames (inputs);
}

void ApplicationEngine::DetectDeviceInfo::scanNewStyleNames (const juce::StringArray& inputs)
{
    auto& state = engine->getState();

    for (auto& output : midiManager->getOutputNames())
    {
        const auto model = modelFromPortName (output.toUpperCase());

        if (model == HardwareModel::unknown)
            continue;

        candidateInputs.clear();

        for (auto& input : inputs)
            if (modelFromPortName (input.toUpperCase()) == model)
                candidateInputs.add (input);

        // Another keyboard's reply port is learnt anew.
        if (state.port1Name != output)
        {
            const juce::ScopedLock sl (replyPortLock);
            state.port3Name = {};
            replyPort = {};
        }

        state.port1Name = output;
        state.usesPrivateDriver = false;
        return;
    }
}

void ApplicationEngine::DetectDeviceInfo::startPolling (int periodMs)
{
    polling = true;
    startTimer (periodMs);
}

void ApplicationEngine::DetectDeviceInfo::stopPolling()
{
    polling = false;
    stopTimer();
}

void ApplicationEngine::DetectDeviceInfo::openPrivateInput()
{
    // The keyboard's third port is reached through the maker's private driver. The search
    // may keep the message thread for up to half a second while no instance is attached;
    // the manager opens one input per instance, however often it is asked.
    PrivateDeviceDescriptor device;

    if (PrivateDriverRegistry::findAttachedPrivateDevice (midiManager->getPrivateDriverSystem(), device, {}) == PrivateDriverRegistry::found)
        midiManager->openPrivateMidiInput (device);
}

bool ApplicationEngine::DetectDeviceInfo::replyCounts (const juce::MidiMessage& message)
{
    return message.isSysEx() && DeviceMessages::isIdentityReply (DeviceMessages::bytesOf (message));
}

void ApplicationEngine::DetectDeviceInfo::handleIncomingMidiMessageFrom (const juce::String& portName, juce::MidiInput* source, const juce::MidiMessage& message)
{
    if (portName.isNotEmpty() && replyCounts (message))
    {
        {
            const juce::ScopedLock sl (replyPortLock);
            replyPort = portName;
        }

        triggerAsyncUpdate();
    }

    handleIncomingMidiMessage (source, message);
}

void ApplicationEngine::DetectDeviceInfo::handleAsyncUpdate()
{
    // Only names in the newer style leave the third port to be learnt.
    if (candidateInputs.isEmpty())
        return;

    const juce::ScopedLock sl (replyPortLock);

    if (replyPort.isNotEmpty())
        engine->getState().port3Name = replyPort;
}

void ApplicationEngine::DetectDeviceInfo::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! replyCounts (message))
        return;

    engine->getState().version = DeviceMessages::versionFromIdentityReply (DeviceMessages::bytesOf (message));
    versionKnown = true;
    stopPolling();
    engine->notifyModelAndVersion();
}

void ApplicationEngine::DetectDeviceInfo::resumePolling()
{
    if (! polling && ! versionKnown)
        startPolling (1000);
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
        startPolling (1000);
}

void ApplicationEngine::DetectDeviceInfo::midiOutputDeviceReconnected (juce::StringArray names)
{
    auto& state = engine->getState();

    if (state.status != EngineStatus::completed)
        return;

    for (auto& name : names)
    {
        if (name == state.port1Name)
        {
            // The keyboard is back with its new firmware: read its version again.
            versionKnown = false;
            startPolling (100);
            state.emergencyMode = false;
        }
    }
}
