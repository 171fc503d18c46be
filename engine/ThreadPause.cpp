#include "engine/ThreadPause.h"

#include <thread>

void ThreadPause::wait (juce::Thread& thread, int milliseconds)
{
    // The event's wait is only as fine as a millisecond and often wakes late: use it
    // until about a millisecond is left, then sleep finely and yield through the last
    // tenth of a millisecond.
    const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;

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
