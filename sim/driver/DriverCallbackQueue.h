#pragma once

// Winsock first: windows.h would otherwise bring in its older version.
#include <winsock2.h>

#include <windows.h>

#include <mmsystem.h>

// After mmsystem.h, whose types it uses.
#include <mmddk.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

/** Calls the applications' WinMM callbacks from a thread of the driver's own, in the order
    they were posted.

    An application may call back into WinMM from its callback (midiInAddBuffer from
    MIM_LONGDATA is common), so no callback runs on a thread that holds one of the
    driver's locks or that is inside one of the application's own calls.
*/
class DriverCallbackQueue final
{
public:
    /** Where a callback goes, as the application gave it in its open call. */
    struct Target
    {
        DWORD_PTR callback = 0;
        DWORD flags = 0; // DCB_*, the high word of the open call's CALLBACK_* flags
        HDRVR device = nullptr;
        DWORD_PTR instance = 0;
    };

    DriverCallbackQueue();
    ~DriverCallbackQueue();

    void post (const Target& target, UINT message, DWORD_PTR param1, DWORD_PTR param2);

private:
    struct Call
    {
        Target target;
        UINT message;
        DWORD_PTR param1, param2;
    };

    void run();

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Call> calls;
    bool stopping = false;
    std::thread thread;

    DriverCallbackQueue (const DriverCallbackQueue&) = delete;
    DriverCallbackQueue& operator= (const DriverCallbackQueue&) = delete;
};
