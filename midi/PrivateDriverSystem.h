#pragma once

#include <juce_core/juce_core.h>

#include <atomic>
#include <functional>

/** What the client of the maker's private USB MIDI driver needs from the platform: the
    registry under HKEY_LOCAL_MACHINE (read through the 32-bit view), the driver's device
    files and their kernel-streaming property requests, events, threads and sleeps.

    On Windows these are the Win32 calls themselves; elsewhere there is no such driver,
    and tests and the demo plug in a simulated one. The client's logic above this seam is
    the same on every platform.

    Handles are opaque numbers, 0 meaning none. Event handles travel to the driver inside
    property values, so they are what the driver itself would receive.
*/
class PrivateDriverSystem : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<PrivateDriverSystem>;
    using Handle = std::uintptr_t;

    /** A thread started by startThread. Deleting it waits for the thread to end. */
    class Thread
    {
    public:
        virtual ~Thread() = default;

        /** True once the thread has ended; waits at most this long. */
        virtual bool waitForExit (int timeoutMs) = 0;
    };

    ~PrivateDriverSystem() override = default;

    //==============================================================================
    // Registry

    /** Opens a key below HKEY_LOCAL_MACHINE for reading; 0 when that fails. */
    virtual Handle openKey (const char* path) = 0;
    virtual void closeKey (Handle key) = 0;
    virtual bool getSubkeyCount (Handle key, juce::uint32& count) = 0;

    /** Name of the subkey at this index. `length` holds the buffer's size in characters,
        terminator included, and returns the name's length without it.
    */
    virtual bool getSubkeyName (Handle key, juce::uint32 index, char* name, juce::uint32& length) = 0;

    /** Reads a value (the key's default value when the name is null). With no buffer only
        the type and size are returned. `size` holds the buffer's size and returns the
        value's; a value larger than the buffer fails.
    */
    virtual bool getValue (Handle key, const char* valueName, juce::uint32& type, void* data, juce::uint32& size) = 0;

    /** Signals the event once, when a subkey of this key is added or removed or one of
        its values is set (not deeper down), or when the key is closed.
    */
    virtual bool notifyOnChange (Handle key, Handle event) = 0;

    //==============================================================================
    // Device files

    /** Opens a device file for reading and writing, shared with nobody; 0 on failure. */
    virtual Handle openDevice (const char* path) = 0;

    /** One kernel-streaming property request on an open device file. */
    virtual bool requestProperty (Handle device, const void* input, juce::uint32 inputSize, void* value, juce::uint32 valueSize, juce::uint32& bytesReturned) = 0;

    virtual void closeDevice (Handle device) = 0;

    //==============================================================================
    // Events, threads, sleeps

    /** A manual-reset event, not signalled; 0 on failure. */
    virtual Handle createEvent() = 0;
    virtual void setEvent (Handle event) = 0;
    virtual void resetEvent (Handle event) = 0;

    /** True when the event is signalled within the time-out; -1 waits without one. */
    virtual bool waitForEvent (Handle event, int timeoutMs) = 0;
    virtual void closeEvent (Handle event) = 0;

    /** Starts running the function on a thread of its own; null when that fails. */
    virtual std::unique_ptr<Thread> startThread (const juce::String& name, std::function<void()> function) = 0;

    virtual void sleep (int milliseconds) = 0;

    //==============================================================================
    /** How long a thread of the client may take to end once told to stop. */
    static constexpr int threadStopBoundMs = 5000;

    /** Waits for a thread that has been told to stop, and deletes it. One that takes
        longer than the bound is counted, and still waited for: its function may be using
        the object that is about to be freed.
    */
    void joinThread (std::unique_ptr<Thread>& thread)
    {
        if (thread == nullptr)
            return;

        if (! thread->waitForExit (threadStopBoundMs))
            ++slowThreadStops;

        thread.reset();
    }

    /** How many threads took longer than the bound to end. */
    int getNumSlowThreadStops() const noexcept { return slowThreadStops.load(); }

private:
    std::atomic<int> slowThreadStops { 0 };
};
