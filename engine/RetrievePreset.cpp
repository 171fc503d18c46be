#include "engine/RetrievePreset.h"

namespace
{
constexpr int firstReplyTimeoutMs = 5000;
constexpr int replyTimeoutMs = 2000;
constexpr double messagesInAllPresets = 32 * 385;
} // namespace

ApplicationEngine::RetrievePreset::RetrievePreset (MidiManager::Ptr manager, ApplicationEngine* owner, int index, DeviceMessages::ModelCode code)
    : midiManager (std::move (manager))
    , engine (owner)
    , modelCode (code)
    , presetIndex (index)
    , timeout ([owner]
               { owner->reportErrorLater (EngineError::presetTimeout); })
{
    stream.reserve (7000);
}

bool ApplicationEngine::RetrievePreset::start()
{
    const auto select = DeviceMessages::buildPresetSelect (modelCode, presetIndex);
    const auto dumpRequest = DeviceMessages::buildPresetDumpRequest (modelCode);

    // Without an output, or without a model code to address the keyboard with, no
    // request can reach it.
    if (midiManager->getNumOpenOutputs() == 0 || ! select.has_value())
    {
        timeout.finish();
        return false;
    }

    // Listening only from here: the stream opens with the Preset Select.
    stream.push_back (*select);
    messagesInStream = 1;
    midiManager->addListener (this);
    timeout.restart (firstReplyTimeoutMs);
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (*select));
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (*dumpRequest));
    return true;
}

ApplicationEngine::RetrievePreset::~RetrievePreset()
{
    timeout.finish();
    midiManager->removeListener (this);
    cancelPendingUpdate();
}

void ApplicationEngine::RetrievePreset::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx() || stream.size() > (size_t) presetDataMessages)
        return;

    // Any answer at all keeps the step alive; silence ends it.
    timeout.restart (replyTimeoutMs);

    auto bytes = DeviceMessages::bytesOf (message);

    if (! DeviceMessages::isPresetData (bytes, modelCode))
        return;

    stream.push_back (std::move (bytes));

    if (stream.size() == (size_t) presetDataMessages + 1 && timeout.finish())
    {
        stream.push_back (*DeviceMessages::buildPresetEnd (modelCode));
        auto& state = engine->getState();

        {
            const juce::ScopedLock sl (state.userDataLock);
            state.presets.push_back (stream);
        }

        engine->stepCompleted (EngineStatus::backingUpPresets);
    }

    messagesInStream = (int) stream.size();
    triggerAsyncUpdate();
}

void ApplicationEngine::RetrievePreset::handleAsyncUpdate()
{
    // A report that comes after the update moved on must not take the status back.
    if (engine->getState().status != EngineStatus::backingUpPresets)
        return;

    // Counted by this step's own preset rather than by the presets held: once this one
    // is held, its last report would otherwise count it twice, and the next step's first
    // report would take the progress back.
    const auto messages = juce::jmin (messagesInStream.load(), presetDataMessages + 1);
    engine->setStatus (EngineStatus::backingUpPresets, (presetIndex * 385.0 + messages) / messagesInAllPresets);
}
