#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/BackupTimeout.h"
#include "engine/MessageThreadInbox.h"

/** Asks the keyboard for its 14 global settings and hands each Global Reply of this
    model over to the message thread, in the order they came.
*/
class ApplicationEngine::RetrieveAllGlobals final : public MidiManager::Listener
{
public:
    struct Callbacks
    {
        std::function<void (const EngineState::Message&)> reply; // on the message thread
        std::function<void()> timedOut;                          // silence for replyTimeoutMs
    };

    static constexpr int replyTimeoutMs = 2000;

    /** Nothing is sent, and nothing heard, before start(). */
    RetrieveAllGlobals (MidiManager::Ptr midiManager, DeviceMessages::ModelCode modelCode, Callbacks callbacks);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~RetrieveAllGlobals() override;

    /** Sends the 14 Global Requests, 1 ms apart. False, with nothing sent, when no port
        is open or no model code can address the keyboard.
    */
    bool start();

    /** No more replies are wanted, and no time-out. */
    void finish();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    MidiManager::Ptr midiManager;
    const DeviceMessages::ModelCode modelCode;
    const Callbacks callbacks;
    BackupTimeout timeout;
    MessageThreadInbox<EngineState::Message> inbox;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrieveAllGlobals)
};
