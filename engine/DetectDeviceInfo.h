#pragma once

#include "engine/ApplicationEngine.h"
#include "engine/KeyboardPortNames.h"
#include "engine/MessageThreadInbox.h"

/** Finds the keyboard among the MIDI ports, learns its model from their names, opens
    its ports and asks it once a second for its identity until the reply gives its
    firmware version. In emergency mode it only opens the ports and stops.

    Ports named in Windows' newer style (after the device's own jacks) say nothing of
    which is the keyboard's third: every input that carries the product and model names
    is opened, and the third is learnt from the input the Identity Reply arrives on.
*/
class ApplicationEngine::DetectDeviceInfo final : private juce::Timer,
                                                  public MidiManager::Listener
{
public:
    /** Registers with the port manager and starts polling. */
    DetectDeviceInfo (MidiManager::Ptr midiManager, ApplicationEngine* engine);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~DetectDeviceInfo() override;

    bool isPolling() const noexcept { return isTimerRunning(); }

    /** Polls again if it stopped before the version was read (in emergency mode). */
    void resumePolling();

    /** Opens a keyboard's first output and the inputs its answers may come on; on the
        private driver's naming, its third port through the driver.
    */
    static void openPorts (MidiManager& midiManager, const KeyboardPortNames::Keyboard& keyboard);

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;
    void handleIncomingMidiMessageFrom (const juce::String& portName, juce::MidiInput* source, const juce::MidiMessage& message) override;
    void midiOutputDeviceDisconnected (juce::StringArray names) override;

private:
    /** An Identity Reply, and the listed input it came on (empty when not known). */
    struct Reply
    {
        double version;
        juce::String port;
    };

    void timerCallback() override;
    void scanDevices();
    void replied (const Reply& reply);

    MidiManager::Ptr midiManager;
    ApplicationEngine* const engine;
    bool versionKnown = false;
    KeyboardPortNames::Keyboard found;
    MessageThreadInbox<Reply> replies;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DetectDeviceInfo)
};
