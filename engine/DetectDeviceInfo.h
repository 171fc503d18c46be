#pragma once

#include "engine/ApplicationEngine.h"

/** Finds the keyboard among the MIDI input ports, learns its model from the port names,
    opens its ports and asks it once a second for its identity until the reply gives
    its firmware version. In emergency mode it only opens the ports and stops.

    Ports named in Windows' newer style (after the device's own jacks) say nothing of
    which is the keyboard's first or third: then the first output that carries the
    product and model names is its first port, every input that carries them is opened,
    and the third is learnt from the input the Identity Reply arrives on.
*/
class ApplicationEngine::DetectDeviceInfo final : private juce::Timer,
                                                  private juce::AsyncUpdater,
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
    void handleIncomingMidiMessageFrom (const juce::String& portName, juce::MidiInput* source, const juce::MidiMessage& message) override;
    void midiOutputDeviceDisconnected (juce::StringArray names) override;
    void midiOutputDeviceReconnected (juce::StringArray names) override;

    /** The model a port-1 name names. */
    static int modelFromPortName (const juce::String& port1Name);

    /** How many keyboards these output names belong to: one per model, and one more for
        each further port under a name listed already (as the system tells identical
        devices apart: "2- MORELTA49", "MORELTA49-2", or the same name twice).
    */
    static int countKeyboards (const juce::StringArray& outputNames);

private:
    void timerCallback() override;
    void handleAsyncUpdate() override;
    static bool replyCounts (const juce::MidiMessage& message);
    void scanDevices();
    void scanNewStyleNames (const juce::StringArray& inputs);
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

    // Newer-style names: the inputs opened in the hope of the reply, and the one it came
    // on, written on the MIDI input thread and taken into the state on the message thread.
    juce::StringArray candidateInputs;
    juce::CriticalSection replyPortLock;
    juce::String replyPort;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DetectDeviceInfo)
};
