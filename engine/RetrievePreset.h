#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/ReplyCollector.h"

/** Reads one preset from the keyboard: its Preset Select, the 384 Preset Data replies
    and a Preset End make the stream that the engine keeps and later sends back. The read
    is whole only when exactly 384 Preset Data messages of this keyboard came in a row and
    nothing more followed them.
*/
class ApplicationEngine::RetrievePreset final : public MidiManager::Listener
{
public:
    struct Callbacks
    {
        std::function<void (int messagesInStream)> received; // after each Preset Data
        std::function<void (EngineState::Preset stream)> read;
        std::function<void (juce::String why)> spoilt; // nothing more will come of this read
    };

    static constexpr int firstReplyTimeoutMs = 5000;
    static constexpr int replyTimeoutMs = 2000;

    /** Nothing is sent, and nothing heard, before start(). The requests go to the output
        of this name, or to every open output when none is given.
    */
    RetrievePreset (MidiManager::Ptr midiManager, juce::String portName, int presetIndex, DeviceMessages::ModelCode modelCode, Callbacks callbacks);

    /** Once this returns, no reply handler of this step is running or will run. */
    ~RetrievePreset() override;

    /** Sends the Preset Select and the Preset Dump Request. False, with nothing sent,
        when no output is open or no model code can address the keyboard.
    */
    bool start();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    void read (ReplyCollector::Messages data);

    MidiManager::Ptr midiManager;
    const juce::String portName;
    const DeviceMessages::ModelCode modelCode;
    const int presetIndex;
    const Callbacks callbacks;
    ReplyCollector collector;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrievePreset)
};
