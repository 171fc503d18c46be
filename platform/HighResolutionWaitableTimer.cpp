#include "platform/HighResolutionWaitableTimer.h"

#include <cmath>
#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

HighResolutionWaitableTimer::HighResolutionWaitableTimer()
    : handle (CreateWaitableTimerExW (nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS))
{
}

HighResolutionWaitableTimer::~HighResolutionWaitableTimer()
{
    if (handle != nullptr)
        CloseHandle (handle);
}

void HighResolutionWaitableTimer::wait (double milliseconds)
{
    // A negative due time is relative, in units of 100 ns.
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG) std::ceil (milliseconds * 10000.0);

    if (SetWaitableTimer (handle, &due, 0, nullptr, nullptr, FALSE))
        WaitForSingleObject (handle, INFINITE);
}
