#include "engine/ThreadPause.h"

#if JUCE_WINDOWS
#include "platform/HighResolutionWaitableTimer.h"
#endif

#include <thread>

void ThreadPause::wait (juce::Thread& thread, int milliseconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;

#if JUCE_WINDOWS
    // Windows rounds event waits and sleeps up to whole timer ticks; a high-resolution
    // waitable timer does not. It does not hear a stop request, so a long pause waits on the
    // thread's event first, leaving the timer its last few milliseconds.
    HighResolutionWaitableTimer timer;

    if (timer.isValid())
    {
        for (auto left = (double) milliseconds; left > 0.0 && ! thread.threadShouldExit(); left = end - juce::Time::getMillisecondCounterHiRes())
        {
            if (left > 20.0)
                thread.wait (left - 10.0);
            else
                timer.wait (left);
        }

        return;
    }
#endif

    // The event's wait is only as fine as a millisecond and often wakes late: use it
    // until about a millisecond is left, then sleep finely and yield through the last
    // tenth of a millisecond.
    for (auto left = (double) milliseconds; left > 0.0 && ! thread.threadShouldExit(); left = end - juce::Time::getMillisecondCounterHiRes())
    {
        if (left > 1.5)
            thread.wait (left - 1.0);
        else if (left > 0.2)
            std::this_thread::sleep_for (std::chrono::microseconds ((juce::int64) ((left - 0.1) * 1000.0)));
        else
            std::this_thread::yield();
    }
}
