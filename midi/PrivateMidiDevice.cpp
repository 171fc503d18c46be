#include "midi/PrivateMidiDevice.h"

#include "midi/PrivateDriverRegistry.h"

namespace
{
// The driver's property set A0634132-2F7F-4FDA-93BA-EA6D7D1BDD0D, in GUID byte order.
const juce::uint8 propertySet[16] = { 0x32, 0x41, 0x63, 0xA0, 0x7F, 0x2F, 0xDA, 0x4F, 0x93, 0xBA, 0xEA, 0x6D, 0x7D, 0x1B, 0xDD, 0x0D };
constexpr size_t headerSize = 24;
constexpr size_t maxExtraSize = 24;
constexpr juce::uint32 pathBufferSize = 260;
constexpr juce::uint32 regSz = 1;
} // namespace

PrivateMidiDevice::PrivateMidiDevice (PrivateDriverSystem& s, const PrivateDeviceDescriptor& d)
    : system (s)
    , descriptor (d)
    , instanceKeyPath (PrivateDriverRegistry::getInstanceKeyPath (d))
{
    attachedKey = system.openKey ((instanceKeyPath + "\\Attached").c_str());
    notification = system.createEvent();

    if (notification != 0)
        watcher = system.startThread ("Private MIDI attach watcher", [this]
                                      { watch(); });
}

PrivateMidiDevice::~PrivateMidiDevice()
{
    stopWatching = true;

    if (notification != 0)
        system.setEvent (notification);

    system.joinThread (watcher);
    closeHandle();

    if (attachedKey != 0)
        system.closeKey (attachedKey);

    if (notification != 0)
        system.closeEvent (notification);
}

//==============================================================================
bool PrivateMidiDevice::isAttached() const
{
    const OrbantaMutex::ScopedLock sl (lock);
    return PrivateDriverRegistry::isAttached (system, attachedKey);
}

bool PrivateMidiDevice::isOpen() const
{
    const OrbantaMutex::ScopedLock sl (lock);
    return handle != 0;
}

bool PrivateMidiDevice::open()
{
    const OrbantaMutex::ScopedLock sl (lock);

    if (handle != 0)
        return true;

    if (! isAttached())
        return false;

    const auto instanceKey = system.openKey (instanceKeyPath.c_str());

    if (instanceKey == 0)
        return false;

    char path[pathBufferSize] = {};
    juce::uint32 type = 0, size = pathBufferSize;
    const auto read = system.getValue (instanceKey, "LastPath", type, path, size);
    system.closeKey (instanceKey);

    // The stored text need not end with a terminator; one that fills the whole buffer
    // without it is cut off, not a path.
    if (! read || type != regSz || size == 0 || size > pathBufferSize || (size == pathBufferSize && path[size - 1] != 0))
        return false;

    path[juce::jmin (size, pathBufferSize - 1)] = 0;
    handle = system.openDevice (path);
    return handle != 0;
}

void PrivateMidiDevice::close()
{
    closeHandle();
}

void PrivateMidiDevice::closeHandle()
{
    const OrbantaMutex::ScopedLock sl (lock);

    if (handle != 0)
        system.closeDevice (handle);

    handle = 0;
}

//==============================================================================
void PrivateMidiDevice::setReceiver (OrbantaDeviceAttachedStateCallbackReceiver* newReceiver)
{
    const OrbantaMutex::ScopedLock reports (reportLock);
    receiver = newReceiver;

    if (receiver != nullptr)
    {
        const auto attached = isAttached();
        lastReport = attached;
        receiver->deviceAttachedStateChanged (attached, *this);
    }
}

void PrivateMidiDevice::watch()
{
    while (! stopWatching)
    {
        system.resetEvent (notification);

        if (attachedKey != 0)
            system.notifyOnChange (attachedKey, notification);

        if (stopWatching)
            return;

        // What changed before the notification was asked for would not wake us.
        reportAttachedState (true);

        system.waitForEvent (notification, -1);

        if (stopWatching)
            return;

        reportAttachedState (false);
    }
}

void PrivateMidiDevice::reportAttachedState (bool onlyIfMissed)
{
    const OrbantaMutex::ScopedLock reports (reportLock);
    bool attached = false, lostDevice = false;

    if (onlyIfMissed && receiver == nullptr)
        return;

    {
        const OrbantaMutex::ScopedLock sl (lock);
        attached = isAttached();

        // A detach and an attach seen as one change leave a handle to the device that
        // went away, on which every request fails: that is a detach and an attach.
        juce::uint32 count = 0;

        if (attached && handle != 0 && ! getProperty (capturePortCount, count))
            lostDevice = true;

        if (onlyIfMissed && ! lostDevice && lastReport == attached)
            return;

        if (! attached || lostDevice)
            closeHandle();
    }

    if (receiver == nullptr)
        return;

    if (lostDevice)
        receiver->deviceAttachedStateChanged (false, *this);

    lastReport = attached;
    receiver->deviceAttachedStateChanged (attached, *this);
}

//==============================================================================
bool PrivateMidiDevice::requestProperty (juce::uint32 property, juce::uint32 flags, const void* extra, size_t extraSize, void* value, juce::uint32 valueSize)
{
    jassert (extraSize <= maxExtraSize);
    juce::uint8 input[headerSize + maxExtraSize] = {};
    std::memcpy (input, propertySet, sizeof (propertySet));
    const auto putWord = [&input] (size_t offset, juce::uint32 word)
    {
        for (size_t i = 0; i < 4; ++i)
            input[offset + i] = (juce::uint8) (word >> (8 * i));
    };

    putWord (16, property);
    putWord (20, flags);

    if (extraSize > 0)
        std::memcpy (input + headerSize, extra, juce::jmin (extraSize, maxExtraSize));

    const OrbantaMutex::ScopedLock sl (lock);

    if (handle == 0)
        return false;

    juce::uint32 returned = 0;
    return system.requestProperty (handle, input, (juce::uint32) (headerSize + extraSize), value, valueSize, returned);
}

bool PrivateMidiDevice::getProperty (juce::uint32 property, juce::uint32& value)
{
    juce::uint8 bytes[4] = {};

    if (! requestProperty (property, get, nullptr, 0, bytes, sizeof (bytes)))
        return false;

    value = juce::ByteOrder::littleEndianInt (bytes);
    return true;
}

bool PrivateMidiDevice::setProperty (juce::uint32 property, juce::uint32 value)
{
    juce::uint8 bytes[4];

    for (size_t i = 0; i < 4; ++i)
        bytes[i] = (juce::uint8) (value >> (8 * i));

    return requestProperty (property, set, nullptr, 0, bytes, sizeof (bytes));
}

bool PrivateMidiDevice::setProperty64 (juce::uint32 property, juce::uint64 value)
{
    juce::uint8 bytes[8];

    for (size_t i = 0; i < 8; ++i)
        bytes[i] = (juce::uint8) (value >> (8 * i));

    return requestProperty (property, set, nullptr, 0, bytes, sizeof (bytes));
}
