#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/BackupTimeout.h"

/** Reads the keyboard's 14 global settings into the engine's state. */
class ApplicationEngine::RetrieveAllGlobals final : public MidiManager::Listener
{
public:
    /** Nothing is sent, and nothing heard, before start(). */
    RetrieveAllGlobals (MidiManager::Ptr midiManager, ApplicationEngine* engine);

    /** Sends the 14 Global Requests, 1 ms apart. False, with nothing sent, when no port
        is open or no model code can address the keyboard; the caller reports that once
        it owns this step, so that the stop deletes it.
    */
    bool start();

    /** Once this returns, no reply handler of this step is running or will run. */
    ~RetrieveAllGlobals() override;

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    MidiManager::Ptr midiManager;
    ApplicationEngine* const engine;
    const DeviceMessages::ModelCode modelCode;
    std::vector<juce::uint8> idsReceived; // only touched by the reply handler
    BackupTimeout timeout;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RetrieveAllGlobals)
};
