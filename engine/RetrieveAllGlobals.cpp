#include "engine/RetrieveAllGlobals.h"

namespace
{
constexpr int replyTimeoutMs = 2000;
}

ApplicationEngine::RetrieveAllGlobals::RetrieveAllGlobals (MidiManager::Ptr manager, ApplicationEngine* owner)
    : midiManager (std::move (manager))
    , engine (owner)
    , modelCode (owner->getModelCode())
    , timeout ([owner]
               { owner->reportErrorLater (EngineError::globalsTimeout); })
{
    engine->setStatus (EngineStatus::backingUpGlobals, 0.0);
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

ApplicationEngine::RetrieveAllGlobals::~RetrieveAllGlobals()
{
    timeout.finish();
    midiManager->removeListener (this);
}

void ApplicationEngine::RetrieveAllGlobals::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx() || idsReceived.size() == DeviceMessages::globalIds.size())
        return;

    // Any answer at all keeps the step alive; silence ends it.
    timeout.restart (replyTimeoutMs);

    const auto bytes = DeviceMessages::bytesOf (message);

    if (! DeviceMessages::isGlobalReply (bytes, modelCode))
        return;

    const auto id = bytes[8];
    const auto& ids = DeviceMessages::globalIds;

    if (std::find (ids.begin(), ids.end(), id) == ids.end())
        return;

    auto& state = engine->getState();

    if (std::find (idsReceived.begin(), idsReceived.end(), id) == idsReceived.end())
    {
        idsReceived.push_back (id);
        const juce::ScopedLock sl (state.userDataLock);
        state.globals.push_back (bytes);
    }

    engine->setStatus (EngineStatus::backingUpGlobals, (double) idsReceived.size() / (double) ids.size());

    if (idsReceived.size() < ids.size() || ! timeout.finish())
        return;

    size_t held = 0;

    {
        const juce::ScopedLock sl (state.userDataLock);
        held = state.globals.size();
    }

    if (held != ids.size())
        engine->reportError (EngineError::backupDataError);
    else if (engine->isBusy())
        engine->stepCompleted (EngineStatus::backingUpGlobals);
}
