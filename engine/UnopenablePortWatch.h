#pragma once

#include "midi/MidiManager.h"

#include <functional>

/** Ends the wait for a keyboard whose port the system lists but the updater cannot open.

    An update waits for the keyboard's output port without a time limit while the keyboard
    restarts, and the port vanishes meanwhile. A port that is listed but will not open (on
    Windows, another program may hold it) would keep that wait going for ever: once the
    awaited port has been listed and not open for the whole time-out, this gives up.
*/
class UnopenablePortWatch final : private juce::Timer
{
public:
    /** The port to watch now, or empty while nothing is awaited. */
    using AwaitedPort = std::function<juce::String()>;

    static constexpr int defaultTimeoutMs = 10000;

    /** Checks a few times a second on the message thread; calls giveUp there, once per
        time-out.
    */
    UnopenablePortWatch (MidiManager& manager, AwaitedPort awaitedPort, std::function<void()> giveUp);
    ~UnopenablePortWatch() override;

    void setTimeout (int milliseconds) { timeoutMs = milliseconds; }

private:
    void timerCallback() override;

    MidiManager& midiManager;
    const AwaitedPort awaitedPort;
    const std::function<void()> giveUp;
    int timeoutMs = defaultTimeoutMs;

    // When the awaited port was first seen listed but not open; negative while it is not.
    double unopenableSinceMs = -1.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UnopenablePortWatch)
};
