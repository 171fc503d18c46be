#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/BackupTimeout.h"

/** Reads one preset from the keyboard: its Preset Select, the 384 Preset Data replies
    and a Preset End make the stream that the engine keeps and later sends back.
*/
class ApplicationEngine::RetrievePreset final : public MidiManager::Listener,
                                                private juce::AsyncUpdater
{
public:
    /** Nothing is sent, and nothing heard, before start(). */
    RetrievePreset (MidiManager::Ptr midiManager, ApplicationEngine* engine, int presetIndex, DeviceMessages::ModelCode modelCode);

    /** Sends the Preset Select and the Preset Dump Request. False, with nothing sent,
        when no output is open or no model code can address the keyboard; the caller
        reports that once it owns this step, so that the stop deletes it.
    */
    bool start();

    /** Once this returns, no reply handler of this step is running or will run. */
    ~RetrievePreset() override;

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

    static constexpr int presetDataMessages = 384;

private:
    void handleAsyncUpdate() override;

    MidiManager::Ptr midiManager;
    ApplicationEngine* const engine;
    const DeviceMessages::ModelCode modelCode;
    const int presetIndex;
    std::vector<EngineState::Message> stream; // only touched by the reply handler
    std::atomic<int> messagesInStream { 0 };
    BackupTimeout timeout;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrievePreset)
};
