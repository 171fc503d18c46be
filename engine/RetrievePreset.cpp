#include "engine/RetrievePreset.h"

ApplicationEngine::RetrievePreset::RetrievePreset (MidiManager::Ptr manager, juce::String port, int index, DeviceMessages::ModelCode code, Callbacks c)
    : midiManager (std::move (manager))
    , portName (std::move (port))
    , modelCode (code)
    , presetIndex (index)
    , callbacks (std::move (c))
    , collector (
          DeviceMessages::presetDataMessages,
          [code] (int, const EngineState::Message& m)
          { return DeviceMessages::isPresetData (m, code); },
          ReplyCollector::Callbacks {
              [this] (int messages)
              { callbacks.received (messages + 1); },
              [this] (ReplyCollector::Messages data)
              { read (std::move (data)); },
              [this] (juce::String why)
              {
                         midiManager->removeListener (this);
                         callbacks.spoilt (why); } })
{
}

ApplicationEngine::RetrievePreset::~RetrievePreset()
{
    collector.finish();
    midiManager->removeListener (this);
}

bool ApplicationEngine::RetrievePreset::start()
{
    const auto select = DeviceMessages::buildPresetSelect (modelCode, presetIndex);

    // Without an output, or without a model code to address the keyboard with, no
    // request can reach it.
    if (midiManager->getNumOpenOutputs() == 0 || ! select.has_value())
    {
        collector.finish();
        return false;
    }

    midiManager->addListener (this);
    collector.begin (firstReplyTimeoutMs, replyTimeoutMs);
    midiManager->sendMessage (portName, DeviceMessages::toMidiMessage (*select));
    midiManager->sendMessage (portName, DeviceMessages::toMidiMessage (*DeviceMessages::buildPresetDumpRequest (modelCode)));
    return true;
}

void ApplicationEngine::RetrievePreset::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    // Notes and clocks are the player's; any SysEx belongs to the dump.
    if (message.isSysEx())
        collector.heard (DeviceMessages::bytesOf (message));
}

void ApplicationEngine::RetrievePreset::read (ReplyCollector::Messages data)
{
    midiManager->removeListener (this);

    // The stream opens with the Preset Select sent for it and closes with a Preset End.
    EngineState::Preset stream;
    stream.reserve (DeviceMessages::presetStreamMessages);
    stream.push_back (*DeviceMessages::buildPresetSelect (modelCode, presetIndex));
    stream.insert (stream.end(), std::make_move_iterator (data.begin()), std::make_move_iterator (data.end()));
    stream.push_back (*DeviceMessages::buildPresetEnd (modelCode));
    callbacks.read (std::move (stream));
}
