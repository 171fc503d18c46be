#pragma once

#include <juce_core/juce_core.h>

/** The pause a sending thread keeps after each message: never shorter than asked, and
    as little longer as the system allows, since the excess adds up over thousands of
    messages. A stop request of the thread ends it early. On Windows it waits on a
    high-resolution waitable timer where Windows has one.
*/
class ThreadPause final
{
public:
    static void wait (juce::Thread& thread, int milliseconds);

private:
    ThreadPause() = delete;
};
