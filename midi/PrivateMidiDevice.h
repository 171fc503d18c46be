#pragma once

#include "midi/OrbantaDeviceAttachedStateCallbackReceiver.h"
#include "midi/OrbantaMutex.h"
#include "midi/PrivateDeviceDescriptor.h"
#include "midi/PrivateDriverSystem.h"

#include <atomic>
#include <optional>

/** The device object of one driver instance: its device file, which is open only while
    the instance is attached, the property requests made on it, and a watcher thread that
    follows the instance's "Attached" registry flag and tells the receiver of each change.
*/
class PrivateMidiDevice final
{
public:
    /** The driver's properties, in its private property set. */
    enum Property : juce::uint32
    {
        capturePortCount = 0,
        renderPortCount = 1,
        registerCaptureEvent = 2,
        unregisterCaptureEvent = 3,
        openRenderPort = 4,
        openCapturePort = 5,
        closeAllPorts = 8,
        portsOpened = 9,
        pendingCaptureMask = 11,
        readCapture = 12
    };

    enum RequestFlags : juce::uint32
    {
        get = 1,
        set = 2
    };

    /** Opens the instance's "Attached" key and starts the watcher; opens nothing else. */
    PrivateMidiDevice (PrivateDriverSystem& system, const PrivateDeviceDescriptor& descriptor);

    /** Ends the watcher, then closes the device file, the key and the event. */
    ~PrivateMidiDevice();

    const PrivateDeviceDescriptor& getDescriptor() const noexcept { return descriptor; }
    const std::string& getInstanceKeyPath() const noexcept { return instanceKeyPath; }

    /** Opens the device file if the instance is attached; true when it is open. */
    bool open();
    void close();
    bool isOpen() const;
    bool isAttached() const;

    /** The receiver (may be null) is told the current state at once, and each change
        after that. Reports never overlap, and once this returns the previous receiver is
        not called again. Receivers are called with no lock of this object held but the
        one that orders the reports, so they may make property requests.
    */
    void setReceiver (OrbantaDeviceAttachedStateCallbackReceiver* receiver);

    /** One property request: the input is the property header followed by `extra`. It
        fails without reaching the driver while the device file is closed.
    */
    bool requestProperty (juce::uint32 property, juce::uint32 flags, const void* extra, size_t extraSize, void* value, juce::uint32 valueSize);

    bool getProperty (juce::uint32 property, juce::uint32& value);
    bool setProperty (juce::uint32 property, juce::uint32 value);

    /** Sets a property whose value is a handle or an address. */
    bool setProperty64 (juce::uint32 property, juce::uint64 value);

    PrivateDriverSystem& getSystem() const noexcept { return system; }

private:
    void watch();
    /** Tells the receiver the state the registry holds now; with `onlyIfMissed`, only
        when that is not what it was last told, or the device file was lost.
    */
    void reportAttachedState (bool onlyIfMissed);
    void closeHandle();

    PrivateDriverSystem& system;
    const PrivateDeviceDescriptor descriptor;
    const std::string instanceKeyPath;

    // Guards the handle and every property request.
    OrbantaMutex lock;
    PrivateDriverSystem::Handle handle = 0;
    PrivateDriverSystem::Handle attachedKey = 0;

    // Taken before `lock`, never while holding it: keeps the reports in order and guards
    // the receiver, so that receivers run without `lock` (they take other locks that the
    // capture thread holds while it waits for `lock`).
    OrbantaMutex reportLock;
    OrbantaDeviceAttachedStateCallbackReceiver* receiver = nullptr;
    std::optional<bool> lastReport;

    PrivateDriverSystem::Handle notification = 0;
    std::atomic<bool> stopWatching { false };
    std::unique_ptr<PrivateDriverSystem::Thread> watcher;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PrivateMidiDevice)
};
