#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/ReplyCollector.h"

/** Asks the keyboard for its 14 global settings. The read is whole only when one Global
    Reply of this model came for each, in the order asked, and nothing more followed.
*/
class ApplicationEngine::RetrieveAllGlobals final : public MidiManager::Listener
{
public:
    struct Callbacks
    {
        std::function<void (int replies)> received; // after each reply in its place
        std::function<void (std::vector<EngineState::Message> replies)> read;
        std::function<void (juce::String why)> spoilt; // nothing more will come of this read
    };

    static constexpr int replyTimeoutMs = 2000;

    /** Nothing is sent, and nothing heard, before start(). The requests go to the output
        of this name, or to every open output when none is given.
    */
    RetrieveAllGlobals (MidiManager::Ptr midiManager, juce::String portName, DeviceMessages::ModelCode modelCode, Callbacks callbacks);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~RetrieveAllGlobals() override;

    /** Sends the 14 Global Requests, 1 ms apart. False, with nothing sent, when no port
        is open or no model code can address the keyboard.
    */
    bool start();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    MidiManager::Ptr midiManager;
    const juce::String portName;
    const DeviceMessages::ModelCode modelCode;
    const Callbacks callbacks;
    ReplyCollector collector;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrieveAllGlobals)
};
