#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/BackupTimeout.h"
#include "engine/MessageThreadInbox.h"

/** Reads one preset from the keyboard: its Preset Select, the 384 Preset Data replies
    and a Preset End make the stream that the engine keeps and later sends back. The
    replies are put together on the message thread, in the order they came.
*/
class ApplicationEngine::RetrievePreset final : public MidiManager::Listener
{
public:
    struct Callbacks
    {
        std::function<void (int messagesInStream)> received; // after each Preset Data
        std::function<void (EngineState::Preset stream)> read;
        std::function<void()> timedOut;
    };

    static constexpr int firstReplyTimeoutMs = 5000;
    static constexpr int replyTimeoutMs = 2000;

    /** Nothing is sent, and nothing heard, before start(). */
    RetrievePreset (MidiManager::Ptr midiManager, int presetIndex, DeviceMessages::ModelCode modelCode, Callbacks callbacks);

    /** Once this returns, no reply handler of this step is running or will run. */
    ~RetrievePreset() override;

    /** Sends the Preset Select and the Preset Dump Request. False, with nothing sent,
        when no output is open or no model code can address the keyboard.
    */
    bool start();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    void append (EngineState::Message& message);

    MidiManager::Ptr midiManager;
    const DeviceMessages::ModelCode modelCode;
    const int presetIndex;
    const Callbacks callbacks;
    EngineState::Preset stream; // message thread only
    BackupTimeout timeout;
    MessageThreadInbox<EngineState::Message> inbox;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrievePreset)
};
