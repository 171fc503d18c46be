#include "midi/PortablePrivateDriverSystem.h"

#include <thread>

class PortablePrivateDriverSystem::StdThread final : public PrivateDriverSystem::Thread
{
public:
    StdThread (const juce::String& name, std::function<void()> function)
        : thread ([this, name, f = std::move (function)]
                  {
                      juce::Thread::setCurrentThreadName (name);
                      f();

                      const std::lock_guard<std::mutex> guard (mutex);
                      ended = true;
                      endedChanged.notify_all(); })
    {
    }

    ~StdThread() override { thread.join(); }

    bool waitForExit (int timeoutMs) override
    {
        std::unique_lock<std::mutex> guard (mutex);
        return endedChanged.wait_for (guard, std::chrono::milliseconds (timeoutMs), [this]
                                      { return ended; });
    }

private:
    std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
    std::thread thread; // last: it runs as soon as it is made
};

//==============================================================================
PrivateDriverSystem::Handle PortablePrivateDriverSystem::makeHandle()
{
    const std::lock_guard<std::mutex> guard (mutex);
    lastHandle += 4;
    jassert (lastHandle < 0xFFFFFFFFu);
    return lastHandle;
}

PrivateDriverSystem::Handle PortablePrivateDriverSystem::createEvent()
{
    const auto handle = makeHandle();
    const std::lock_guard<std::mutex> guard (mutex);
    events[handle] = std::make_shared<Event>();
    return handle;
}

std::shared_ptr<PortablePrivateDriverSystem::Event> PortablePrivateDriverSystem::findEvent (Handle event)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = events.find (event);
    return it != events.end() ? it->second : nullptr;
}

void PortablePrivateDriverSystem::setEvent (Handle event)
{
    if (auto e = findEvent (event))
    {
        const std::lock_guard<std::mutex> guard (e->mutex);
        e->signalled = true;
        e->changed.notify_all();
    }
}

void PortablePrivateDriverSystem::resetEvent (Handle event)
{
    if (auto e = findEvent (event))
    {
        const std::lock_guard<std::mutex> guard (e->mutex);
        e->signalled = false;
    }
}

bool PortablePrivateDriverSystem::waitForEvent (Handle event, int timeoutMs)
{
    auto e = findEvent (event);

    if (e == nullptr)
        return false;

    std::unique_lock<std::mutex> guard (e->mutex);

    if (timeoutMs < 0)
    {
        e->changed.wait (guard, [&]
                         { return e->signalled; });
        return true;
    }

    return e->changed.wait_for (guard, std::chrono::milliseconds (timeoutMs), [&]
                                { return e->signalled; });
}

void PortablePrivateDriverSystem::closeEvent (Handle event)
{
    const std::lock_guard<std::mutex> guard (mutex);
    events.erase (event);
}

int PortablePrivateDriverSystem::getNumOpenEvents()
{
    const std::lock_guard<std::mutex> guard (mutex);
    return (int) events.size();
}

std::unique_ptr<PrivateDriverSystem::Thread> PortablePrivateDriverSystem::startThread (const juce::String& name, std::function<void()> function)
{
    return std::make_unique<StdThread> (name, std::move (function));
}

void PortablePrivateDriverSystem::sleep (int milliseconds)
{
    std::this_thread::sleep_for (std::chrono::milliseconds (milliseconds));
}
