#include "platform/WorkerPriority.h"

#include <juce_core/juce_core.h>

#if JUCE_WINDOWS
#include <windows.h>
#endif

int WorkerPriority::nativePriorityOf (Role role)
{
#if JUCE_WINDOWS
    return role == Role::firmwareSender ? THREAD_PRIORITY_HIGHEST : THREAD_PRIORITY_ABOVE_NORMAL;
#else
    juce::ignoreUnused (role);
    return 0;
#endif
}

void WorkerPriority::applyToCurrentThread (Role role)
{
#if JUCE_WINDOWS
    // Not juce::Thread::setPriority, which hands Windows the Thread object in place of its
    // handle. A refusal leaves the thread at the normal priority, where it still works.
    SetThreadPriority (GetCurrentThread(), nativePriorityOf (role));
#else
    juce::ignoreUnused (role);
#endif
}
