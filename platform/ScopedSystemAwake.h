#pragma once

#include <juce_events/juce_events.h>

/** Keeps the computer from sleeping while an update or a restore runs.

    A keyboard whose firmware transfer stops half-way, because the system went to sleep,
    is left unusable. While at least one of these objects exists, the process tells
    Windows that the system is required (SetThreadExecutionState with ES_CONTINUOUS |
    ES_SYSTEM_REQUIRED); the display may still turn off. The request belongs to the
    thread that makes it, so these are made and deleted on the message thread. Elsewhere
    nothing is asked of the system.
*/
class ScopedSystemAwake final
{
public:
    ScopedSystemAwake();
    ~ScopedSystemAwake();

    /** Whether one exists now, across the process. */
    static bool isHeld();

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScopedSystemAwake)
};
