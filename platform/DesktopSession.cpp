#include "platform/DesktopSession.h"

// Windows has its own, in Win32DesktopSession.cpp.
#if ! JUCE_WINDOWS
DesktopSession::Ptr DesktopSession::createForPlatform()
{
    return new NoDesktopSession();
}
#endif
