#pragma once

#include "midi/PrivateDriverSystem.h"

#include <condition_variable>
#include <map>
#include <mutex>

/** Events, threads and sleeps from the C++ library, for the private driver seams that do
    not run on Windows: the simulated driver, and the machine with no driver at all.
*/
class PortablePrivateDriverSystem : public PrivateDriverSystem
{
public:
    PortablePrivateDriverSystem() = default;

    Handle createEvent() override;
    void setEvent (Handle event) override;
    void resetEvent (Handle event) override;
    bool waitForEvent (Handle event, int timeoutMs) override;
    void closeEvent (Handle event) override;

    std::unique_ptr<Thread> startThread (const juce::String& name, std::function<void()> function) override;
    void sleep (int milliseconds) override;

    /** How many events are open now. */
    int getNumOpenEvents();

protected:
    /** A new handle, never handed out before by this system, whatever its kind; it fits
        in 32 bits, as a Windows handle does.
    */
    Handle makeHandle();

    bool isEvent (Handle handle) { return findEvent (handle) != nullptr; }

private:
    struct Event
    {
        std::mutex mutex;
        std::condition_variable changed;
        bool signalled = false;
    };

    class StdThread;

    std::shared_ptr<Event> findEvent (Handle event);

    std::mutex mutex;
    std::map<Handle, std::shared_ptr<Event>> events;
    Handle lastHandle = 0x100;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PortablePrivateDriverSystem)
};
