#pragma once

#include "engine/ApplicationEngine.h"

/** Sends the backed-up messages back to the keyboard on a thread of its own, with a
    fixed pause after each (on Windows timed by a high-resolution waitable timer), and
    tells its owner on the message thread how far it has come, and how it ended.
*/
class ApplicationEngine::SendSysexMessagesWithTimer final : public juce::ReferenceCountedObject,
                                                            private juce::Thread,
                                                            private juce::AsyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<SendSysexMessagesWithTimer>;

    struct Callbacks
    {
        std::function<void (double progress)> progress;
        std::function<void()> finished;
        std::function<void()> failed; // no open output took a message
    };

    /** Copies the messages and starts sending them at once, to the output of this name
        (to every open output when there is none).
    */
    SendSysexMessagesWithTimer (MidiManager::Ptr midiManager, juce::String portName, std::vector<EngineState::Message> messages, int pauseMs, Callbacks callbacks);

    /** Stops the thread and waits for it to end; nothing more is reported. */
    ~SendSysexMessagesWithTimer() override;

private:
    void run() override;
    void handleAsyncUpdate() override;

    MidiManager::Ptr midiManager;
    const juce::String portName;
    const std::vector<EngineState::Message> messages;
    const int pauseMs;
    const Callbacks callbacks;
    std::atomic<size_t> sent { 0 };
    std::atomic<bool> failed { false }, reported { false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SendSysexMessagesWithTimer)
};
