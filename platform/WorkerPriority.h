#pragma once

/** The priorities of the threads that send to the keyboard.

    On Windows the firmware sender runs at THREAD_PRIORITY_HIGHEST and the restore at
    THREAD_PRIORITY_ABOVE_NORMAL, high enough that their pauses hold while the machine is
    busy. JUCE 7's own scale cannot say either: its highest priority is
    THREAD_PRIORITY_TIME_CRITICAL, too much for a thread that sends for minutes, and it
    has nothing between normal and highest. Elsewhere priorities are left as they are, as
    JUCE leaves them on Linux.
*/
class WorkerPriority final
{
public:
    enum class Role
    {
        firmwareSender,
        restoreSender
    };

    /** Gives the calling thread the priority of its role. */
    static void applyToCurrentThread (Role role);

    /** The native priority a role gets on this platform; 0 where none is set. */
    static int nativePriorityOf (Role role);

private:
    WorkerPriority() = delete;
};
