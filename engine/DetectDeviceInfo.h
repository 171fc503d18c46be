#pragma once

#include "engine/ApplicationEngine.h"

/** Finds the keyboard among the MIDI input ports, learns its model from the port names,
    opens its ports and asks it once a second for its identity until the reply gives
    its firmware version. In emergency mode it only opens the ports and stops.
*/
class ApplicationEngine::DetectDeviceInfo final : private juce::Timer,
                                                  public MidiManager::Listener
{
public:
    /** Registers with the port manager and starts polling. */
    DetectDeviceInfo (MidiManager::Ptr midiManager, ApplicationEngine* engine);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~DetectDeviceInfo() override;

    bool isPolling() const noexcept { return polling; }

    /** Polls again if it stopped before the version was read (in emergency mode). */
    void resumePolling();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;
    void midiOutputDeviceDisconnected (juce::StringArray names) override;
    void midiOutputDeviceReconnected (juce::StringArray names) override;

    /** The model a port-1 name names. */
    static int modelFromPortName (const juce::String& port1Name);

private:
    void timerCallback() override;
    void scanDevices();
    void openPrivateInput();
    void startPolling (int periodMs);
    void stopPolling();

    MidiManager::Ptr midiManager;
    ApplicationEngine* const engine;

    // Set by the reply handler on the MIDI input thread, so that a tick already under
    // way on the message thread sends no further Identity Request.
    std::atomic<bool> versionKnown { false };

    // The timer is stopped from the MIDI input thread too; juce::Timer's own running flag
    // is not meant to be read across threads.
    std::atomic<bool> polling { false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DetectDeviceInfo)
};
