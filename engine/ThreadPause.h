#pragma once

#include <juce_core/juce_core.h>

/** The pause a sending thread keeps after each message: never shorter than asked, and
    as little longer as the system allows, since the excess adds up over thousands of
    messages. It waits on the thread's own event, so that a stop request ends it early.
*/
class ThreadPause final
{
public:
    static void wait (juce::Thread& thread, int milliseconds);

private:
    ThreadPause() = delete;
};
