#pragma once

#include "engine/ApplicationEngine.h"

/** Once the keyboard is back after the transfer, asks what it runs now, a few times
    over about ten seconds: only a keyboard that reports the firmware it was sent gets
    its user data back, or counts as updated. One whose loader refused an image comes
    back in its update mode, which does not answer.
*/
class ApplicationEngine::ConfirmNewFirmware final : public MidiManager::Listener,
                                                    private juce::Timer
{
public:
    static constexpr int tries = 10;
    static constexpr int intervalMs = 1000;

    /** Registers with the port manager and asks at once. */
    ConfirmNewFirmware (MidiManager::Ptr midiManager, ApplicationEngine* engine, double expectedVersion);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~ConfirmNewFirmware() override;

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    void timerCallback() override;
    void ask();

    MidiManager::Ptr midiManager;
    ApplicationEngine* const engine;
    const double expectedVersion;
    int asked = 0;

    // The answer is taken once, by the reply handler or by the last tick.
    std::atomic<bool> decided { false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ConfirmNewFirmware)
};
