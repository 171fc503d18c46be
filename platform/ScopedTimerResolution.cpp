#include "platform/ScopedTimerResolution.h"

#include <mutex>

#if JUCE_WINDOWS
#include <windows.h>
#endif

namespace
{
std::mutex instancesMutex;
int instances = 0;
bool optedOut = false;

/** Asks Windows to honour the timer resolution whatever the state of the windows, or
    hands the decision back to it. SetProcessInformation is looked up at run time, as
    Windows 7 has none.
*/
bool keepTimerResolution ([[maybe_unused]] bool shouldKeep)
{
#if JUCE_WINDOWS
    using SetProcessInformationFn = BOOL (WINAPI*) (HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    const auto setProcessInformation = reinterpret_cast<SetProcessInformationFn> (
        reinterpret_cast<void*> (GetProcAddress (GetModuleHandleA ("kernel32.dll"), "SetProcessInformation")));

    if (setProcessInformation == nullptr)
        return false;

    // Controlling the flag with its state bit clear means: never ignore the resolution.
    PROCESS_POWER_THROTTLING_STATE state {};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = shouldKeep ? PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION : 0;
    state.StateMask = 0;

    return setProcessInformation (GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof (state)) != FALSE;
#else
    return false;
#endif
}
} // namespace

ScopedTimerResolution::ScopedTimerResolution()
{
    const std::lock_guard<std::mutex> guard (instancesMutex);

    if (instances++ == 0)
        optedOut = keepTimerResolution (true);
}

ScopedTimerResolution::~ScopedTimerResolution()
{
    const std::lock_guard<std::mutex> guard (instancesMutex);

    if (--instances == 0 && optedOut)
    {
        keepTimerResolution (false);
        optedOut = false;
    }
}

int ScopedTimerResolution::getNumInstances()
{
    const std::lock_guard<std::mutex> guard (instancesMutex);
    return instances;
}

bool ScopedTimerResolution::isOptedOut()
{
    const std::lock_guard<std::mutex> guard (instancesMutex);
    return optedOut;
}
