#pragma once

#include "engine/MessageThreadInbox.h"
#include "midi/MidiManager.h"

#include <functional>

/** Asks the keyboard what it runs: an Identity Request to every open output at once,
    then again every interval, so many times in all. Tells, on the message thread and
    once, the version of the first Identity Reply, or that none came within an interval
    of the last request. A keyboard in its update mode does not answer.
*/
class IdentityProbe final : public MidiManager::Listener,
                            private juce::Timer
{
public:
    struct Callbacks
    {
        std::function<void (double version)> answered;
        std::function<void()> silent;
    };

    /** Registers with the port manager and asks at once. */
    IdentityProbe (MidiManager::Ptr midiManager, int tries, int intervalMs, Callbacks callbacks);

    /** Once this returns, no reply handler of this object is running or will run. */
    ~IdentityProbe() override;

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;

private:
    void timerCallback() override;
    void ask();

    MidiManager::Ptr midiManager;
    const int tries;
    const Callbacks callbacks;
    int asked = 0;
    bool decided = false;
    MessageThreadInbox<double> replies;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (IdentityProbe)
};
