#pragma once

#include <juce_core/juce_core.h>

/** A high-resolution waitable timer of Windows (10, version 1803 and later).

    Sleep and waits on events end on whole timer ticks: about a millisecond late at JUCE's
    1 ms timer resolution, and a tick of 15.6 ms where Windows throttles that resolution.
    This timer wakes a thread within a fraction of a millisecond of its due time, whatever
    the resolution. Windows only.
*/
class HighResolutionWaitableTimer final
{
public:
    /** Creates the timer; where Windows has none, isValid() is false. */
    HighResolutionWaitableTimer();
    ~HighResolutionWaitableTimer();

    bool isValid() const noexcept { return handle != nullptr; }

    /** Blocks the calling thread for about this long; not for a stop request. */
    void wait (double milliseconds);

private:
    void* handle = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (HighResolutionWaitableTimer)
};
