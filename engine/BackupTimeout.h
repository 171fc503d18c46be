#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <functional>

/** The time-out of a backup step. Replies restart it on the MIDI input thread; it is
    checked, and fires, on the message thread, once.
*/
class BackupTimeout final : private juce::Timer
{
public:
    explicit BackupTimeout (std::function<void()> onTimeout);
    ~BackupTimeout() override;

    /** Starts or restarts the time-out; any thread. */
    void restart (int milliseconds);

    /** Ends the time-out for good; any thread. Returns false if it had ended already,
        by firing or by an earlier finish, so that a step ends exactly once.
    */
    bool finish();

private:
    void timerCallback() override;

    const std::function<void()> onTimeout;
    std::atomic<juce::uint32> deadlineMs { 0 };
    std::atomic<bool> finished { false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BackupTimeout)
};
