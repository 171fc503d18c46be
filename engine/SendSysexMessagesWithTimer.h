#pragma once

#include "engine/ApplicationEngine.h"

/** Sends the backed-up messages back to the keyboard on a thread of its own, with a
    fixed pause after each, and reports progress, an error or completion to the engine.
*/
class ApplicationEngine::SendSysexMessagesWithTimer final : public juce::Thread,
                                                            public QueueASyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<SendSysexMessagesWithTimer>;

    /** Copies the messages and starts sending at once. */
    SendSysexMessagesWithTimer (MidiManager::Ptr midiManager,
                                std::vector<EngineState::Message> messages,
                                int pauseMs,
                                ApplicationEngine* engine);

    /** Stops the thread and waits for it to end. */
    ~SendSysexMessagesWithTimer() override;

    /** Makes the thread end silently after the message it is sending, and waits until
        it has ended. Safe to call more than once.
    */
    void stopSending();

private:
    void run() override;

    MidiManager::Ptr midiManager;
    const std::vector<EngineState::Message> messages;
    const int pauseMs;
    ApplicationEngine* const engine;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SendSysexMessagesWithTimer)
};
