#include "engine/RetrieveAllGlobals.h"

ApplicationEngine::RetrieveAllGlobals::RetrieveAllGlobals (MidiManager::Ptr manager, DeviceMessages::ModelCode code, Callbacks c)
    : midiManager (std::move (manager))
    , modelCode (code)
    , callbacks (std::move (c))
    , timeout (callbacks.timedOut)
    , inbox ([this] (EngineState::Message& reply)
             { callbacks.reply (reply); })
{
}

ApplicationEngine::RetrieveAllGlobals::~RetrieveAllGlobals()
{
    timeout.finish();
    midiManager->removeListener (this);
}

bool ApplicationEngine::RetrieveAllGlobals::start()
{
    // Without a port, or without a model code to address the keyboard with, no request
    // can reach it.
    if ((midiManager->getNumOpenOutputs() == 0 && midiManager->getNumOpenInputs() == 0) || ! modelCode.has_value())
    {
        timeout.finish();
        return false;
    }

    midiManager->addListener (this);
    timeout.restart (replyTimeoutMs);

    for (auto id : DeviceMessages::globalIds)
    {
        midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (*DeviceMessages::buildGlobalRequest (modelCode, id)));
        juce::Thread::sleep (1);
    }

    timeout.restart (replyTimeoutMs);
    return true;
}

void ApplicationEngine::RetrieveAllGlobals::finish()
{
    timeout.finish();
    midiManager->removeListener (this);
}

void ApplicationEngine::RetrieveAllGlobals::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    // Any answer at all keeps the step alive; silence ends it.
    timeout.restart (replyTimeoutMs);
    auto bytes = DeviceMessages::bytesOf (message);
    const auto& ids = DeviceMessages::globalIds;

    if (DeviceMessages::isGlobalReply (bytes, modelCode) && std::find (ids.begin(), ids.end(), bytes[8]) != ids.end())
        inbox.post (std::move (bytes));
}
