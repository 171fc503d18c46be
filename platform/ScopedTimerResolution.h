#pragma once

#include <juce_core/juce_core.h>

/** Keeps the process's fine timer resolution while an update runs.

    JUCE asks Windows for a 1 ms timer resolution at start-up, but Windows 11 ignores the
    request of a process whose windows are minimised or hidden: the pauses after each
    firmware block and each restored message would then wait for the default tick of
    about 15.6 ms, and the transfer and the restore would take up to fifteen times as
    long. While at least one of these objects exists, the process opts out of that
    throttling. Where the platform has no such throttling, it does nothing.
*/
class ScopedTimerResolution final
{
public:
    ScopedTimerResolution();
    ~ScopedTimerResolution();

    /** How many exist now, across the process. */
    static int getNumInstances();

    /** Whether the system accepted the opt-out; false where it has none (also in Wine). */
    static bool isOptedOut();

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScopedTimerResolution)
};
