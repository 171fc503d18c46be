#include "engine/RetrieveAllGlobals.h"

ApplicationEngine::RetrieveAllGlobals::RetrieveAllGlobals (MidiManager::Ptr manager, juce::String port, DeviceMessages::ModelCode code, Callbacks c)
    : midiManager (std::move (manager))
    , portName (std::move (port))
    , modelCode (code)
    , callbacks (std::move (c))
    , collector (
          DeviceMessages::numGlobals,
          [code] (int place, const EngineState::Message& m)
          { return DeviceMessages::isGlobalReply (m, code) && m[8] == DeviceMessages::globalIds[(size_t) place]; },
          ReplyCollector::Callbacks {
              [this] (int replies)
              { callbacks.received (replies); },
              [this] (ReplyCollector::Messages replies)
              {
                         midiManager->removeListener (this);
                         callbacks.read (std::move (replies)); },
              [this] (juce::String why)
              {
                         midiManager->removeListener (this);
                         callbacks.spoilt (why); } })
{
}

ApplicationEngine::RetrieveAllGlobals::~RetrieveAllGlobals()
{
    collector.finish();
    midiManager->removeListener (this);
}

bool ApplicationEngine::RetrieveAllGlobals::start()
{
    // Without a port, or without a model code to address the keyboard with, no request
    // can reach it.
    if ((midiManager->getNumOpenOutputs() == 0 && midiManager->getNumOpenInputs() == 0) || ! modelCode.has_value())
    {
        collector.finish();
        return false;
    }

    midiManager->addListener (this);

    for (auto id : DeviceMessages::globalIds)
    {
        midiManager->sendMessage (portName, DeviceMessages::toMidiMessage (*DeviceMessages::buildGlobalRequest (modelCode, id)));
        juce::Thread::sleep (1);
    }

    // From the last request: a reply heard before now is judged once this returns.
    collector.begin (replyTimeoutMs, replyTimeoutMs);
    return true;
}

void ApplicationEngine::RetrieveAllGlobals::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    // Notes and clocks are the player's; any SysEx belongs to the answer.
    if (message.isSysEx())
        collector.heard (DeviceMessages::bytesOf (message));
}
