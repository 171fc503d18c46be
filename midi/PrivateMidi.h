#pragma once

#include "midi/PrivateDeviceDescriptor.h"
#include "midi/PrivateDriverSystem.h"
#include "midi/PrivateMidiAttachedStateCallbackReceiver.h"
#include "midi/PrivateMidiCaptureCallbackReceiver.h"

/** The client of one instance of the maker's private USB MIDI driver.

    It opens the instance's device file while the instance is attached, following the
    driver's "Attached" flag, opens its capture and render ports on request, and reads
    what the driver captures on a thread of its own, handing each port's bytes to that
    port's receiver. Only the capture side is used: nothing is ever sent to a render port.
*/
class PrivateMidi
{
public:
    enum Result
    {
        ok = 0,
        badArgument = -1,
        deviceNotOpen = -2,
        alreadyOpen = -4,
        openRefused = -5,
        closeRefused = -6
    };

    static constexpr int numPorts = 32;
    static constexpr int captureBufferSize = 256;

    /** Never fails: an attached instance is opened and the capture event registered
        before this returns; a detached one is opened once the driver attaches it.
    */
    PrivateMidi (PrivateDriverSystem::Ptr system, const PrivateDeviceDescriptor& descriptor);

    /** Closes the ports, ends both threads and closes the device file. */
    virtual ~PrivateMidi();

    const PrivateDeviceDescriptor& getDescriptor() const noexcept;

    /** The receiver (may be null) is told the current attached state at once, and every
        attach and detach after that. Once this returns, the previous receiver is not
        called again. Always 0.
    */
    int setAttachedStateReceiver (PrivateMidiAttachedStateCallbackReceiver* receiver);

    /** Where a capture port's bytes go: the receiver and its buffer of 256 bytes, kept
        across detach and attach. -1 when the device is not open, the port is above 31,
        or a receiver comes without a buffer.
    */
    int setCaptureBuffer (int port, PrivateMidiCaptureCallbackReceiver* receiver, juce::uint8* buffer);

    /** Results: ok, deviceNotOpen, badArgument (port above 31), alreadyOpen, openRefused. */
    int openCapturePort (int port);
    int openRenderPort (int port);

    /** Closes every port (the driver is asked only while the device is open); ok,
        deviceNotOpen or closeRefused. Afterwards no port is open.
    */
    int closeAllPorts();

    /** The driver's port counts; false when it did not answer. */
    bool getCapturePortCount (juce::uint32& count);
    bool getRenderPortCount (juce::uint32& count);

    /** Tells the driver that the ports have been opened; false if the device is not
        open or the driver did not answer.
    */
    bool confirmPortsOpened();

    bool isDeviceOpen() const;
    bool isCapturePortOpen (int port) const;
    bool isRenderPortOpen (int port) const;

private:
    class MemberData;
    std::unique_ptr<MemberData> data;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PrivateMidi)
};
