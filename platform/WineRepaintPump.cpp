#include "platform/WineRepaintPump.h"

#include <juce_gui_basics/juce_gui_basics.h>

#if JUCE_WINDOWS
#include <windows.h>
#endif

WineRepaintPump::WineRepaintPump()
{
    // About as often as a display refreshes.
    if (isRunningInWine())
        startTimerHz (60);
}

WineRepaintPump::~WineRepaintPump()
{
    stopTimer();
}

bool WineRepaintPump::isRunningInWine()
{
#if JUCE_WINDOWS
    // Wine's ntdll exports its version; Windows' does not.
    const auto ntdll = GetModuleHandleA ("ntdll.dll");
    return ntdll != nullptr && GetProcAddress (ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

void WineRepaintPump::timerCallback()
{
    for (int i = juce::ComponentPeer::getNumPeers(); --i >= 0;)
        if (auto* peer = juce::ComponentPeer::getPeer (i))
            peer->performAnyPendingRepaintsNow();
}
