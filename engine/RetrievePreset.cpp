#include "engine/RetrievePreset.h"

ApplicationEngine::RetrievePreset::RetrievePreset (MidiManager::Ptr manager, int index, DeviceMessages::ModelCode code, Callbacks c)
    : midiManager (std::move (manager))
    , modelCode (code)
    , presetIndex (index)
    , callbacks (std::move (c))
    , timeout (callbacks.timedOut)
    , inbox ([this] (EngineState::Message& m)
             { append (m); })
{
    stream.reserve (DeviceMessages::presetStreamMessages);
}

ApplicationEngine::RetrievePreset::~RetrievePreset()
{
    timeout.finish();
    midiManager->removeListener (this);
}

bool ApplicationEngine::RetrievePreset::start()
{
    const auto select = DeviceMessages::buildPresetSelect (modelCode, presetIndex);

    // Without an output, or without a model code to address the keyboard with, no
    // request can reach it.
    if (midiManager->getNumOpenOutputs() == 0 || ! select.has_value())
    {
        timeout.finish();
        return false;
    }

    // Listening only from here: the stream opens with the Preset Select.
    stream.push_back (*select);
    midiManager->addListener (this);
    timeout.restart (firstReplyTimeoutMs);
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (*select));
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (*DeviceMessages::buildPresetDumpRequest (modelCode)));
    return true;
}

void ApplicationEngine::RetrievePreset::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    // Any answer at all keeps the step alive; silence ends it.
    timeout.restart (replyTimeoutMs);
    auto bytes = DeviceMessages::bytesOf (message);

    if (DeviceMessages::isPresetData (bytes, modelCode))
        inbox.post (std::move (bytes));
}

void ApplicationEngine::RetrievePreset::append (EngineState::Message& message)
{
    if ((int) stream.size() > DeviceMessages::presetDataMessages)
        return;

    stream.push_back (std::move (message));
    callbacks.received ((int) stream.size());

    if ((int) stream.size() == DeviceMessages::presetDataMessages + 1 && timeout.finish())
    {
        midiManager->removeListener (this);
        stream.push_back (*DeviceMessages::buildPresetEnd (modelCode));
        callbacks.read (stream);
    }
}
