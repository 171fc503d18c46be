#include "platform/ScopedSystemAwake.h"

#if JUCE_WINDOWS
#include <windows.h>
#endif

namespace
{
int instances = 0; // message thread only

void requireSystem ([[maybe_unused]] bool required)
{
#if JUCE_WINDOWS
    SetThreadExecutionState (required ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
#endif
}
} // namespace

ScopedSystemAwake::ScopedSystemAwake()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (instances++ == 0)
        requireSystem (true);
}

ScopedSystemAwake::~ScopedSystemAwake()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (--instances == 0)
        requireSystem (false);
}

bool ScopedSystemAwake::isHeld()
{
    return instances > 0;
}
