#include "sim/driver/DriverCallbackQueue.h"

// winmm exports it, but mingw's headers do not declare it.
extern "C" BOOL WINAPI DriverCallback (DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2);

DriverCallbackQueue::DriverCallbackQueue()
    : thread ([this]
              { run(); })
{
}

DriverCallbackQueue::~DriverCallbackQueue()
{
    {
        const std::lock_guard<std::mutex> guard (mutex);
        stopping = true;
    }

    changed.notify_all();
    thread.join();
}

void DriverCallbackQueue::post (const Target& target, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    {
        const std::lock_guard<std::mutex> guard (mutex);
        calls.push_back ({ target, message, param1, param2 });
    }

    changed.notify_all();
}

void DriverCallbackQueue::run()
{
    for (;;)
    {
        Call call;

        {
            std::unique_lock<std::mutex> guard (mutex);
            changed.wait (guard, [this]
                          { return stopping || ! calls.empty(); });

            // What is still queued at the end goes out first: a MOM_DONE must not be lost.
            if (calls.empty())
                return;

            call = calls.front();
            calls.pop_front();
        }

        DriverCallback (call.target.callback, call.target.flags, call.target.device, call.message, call.target.instance, call.param1, call.param2);
    }
}
