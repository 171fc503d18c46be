#pragma once

#include <juce_core/juce_core.h>

/** The driver client's lock: a recursive critical section (the same thread may take it
    again), with a scoped holder.
*/
class OrbantaMutex
{
public:
    OrbantaMutex() = default;
    virtual ~OrbantaMutex() = default;

    void lock() const noexcept { section.enter(); }
    void unlock() const noexcept { section.exit(); }

    /** Holds the mutex from construction until it goes out of scope. */
    class ScopedLock
    {
    public:
        explicit ScopedLock (const OrbantaMutex& m) noexcept
            : mutex (m)
        {
            mutex.lock();
        }

        ~ScopedLock() { mutex.unlock(); }

    private:
        const OrbantaMutex& mutex;

        JUCE_DECLARE_NON_COPYABLE (ScopedLock)
    };

private:
    // On Windows a CRITICAL_SECTION; elsewhere a recursive mutex.
    juce::CriticalSection section;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrbantaMutex)
};
