#include "midi/PrivateMidi.h"

#include "midi/OrbantaMutex.h"
#include "midi/PrivateMidiDevice.h"

#include <array>

namespace
{
constexpr int renderQueueSlots = 16;
constexpr int captureWakeUpMs = 5000;
constexpr int renderDrainPollMs = 10;
constexpr int renderDrainLimitMs = 2000;

void putLittleEndian64 (juce::uint8* destination, juce::uint64 value)
{
    for (int i = 0; i < 8; ++i)
        destination[i] = (juce::uint8) (value >> (8 * i));
}

bool isValidPort (int port)
{
    return port >= 0 && port < PrivateMidi::numPorts;
}
} // namespace

//==============================================================================
class PrivateMidi::MemberData final : public OrbantaDeviceAttachedStateCallbackReceiver
{
public:
    struct CapturePort
    {
        std::atomic<bool> open { false };
        OrbantaMutex lock; // held for each whole read and delivery

        // Guarded by `lock`.
        PrivateMidiCaptureCallbackReceiver* receiver = nullptr;
        juce::uint8* bufferStart = nullptr;
        int bufferSize = 0;
        juce::uint8* writePosition = nullptr;
    };

    struct RenderPort
    {
        struct Slot
        {
            std::atomic<bool> pending { false };
            juce::HeapBlock<juce::uint8> buffer;
        };

        std::atomic<bool> open { false };
        OrbantaMutex lock; // guards the queue
        std::array<Slot, renderQueueSlots> queue;
    };

    /** Opens a capture or render port; a read or send in progress on it finishes first. */
    template <typename Port>
    int openPort (std::array<Port, numPorts>& ports, int index, juce::uint32 property)
    {
        if (! device->isOpen())
            return deviceNotOpen;

        if (! isValidPort (index))
            return badArgument;

        auto& p = ports[(size_t) index];
        const OrbantaMutex::ScopedLock sl (p.lock);

        if (p.open)
            return alreadyOpen;

        if (! device->setProperty (property, (juce::uint32) index))
            return openRefused;

        p.open = true;
        return ok;
    }

    MemberData (PrivateMidi& o, PrivateDriverSystem::Ptr s, const PrivateDeviceDescriptor& descriptor)
        : system (std::move (s))
        , device (std::make_unique<PrivateMidiDevice> (*system, descriptor))
        , owner (o)
    {
    }

    void deviceAttachedStateChanged (bool attached, PrivateMidiDevice&) override
    {
        const OrbantaMutex::ScopedLock sl (lock);

        if (attached)
        {
            if (! device->isOpen() && device->open())
                device->setProperty64 (PrivateMidiDevice::registerCaptureEvent, captureEvent);
        }
        else
        {
            owner.closeAllPorts();
        }

        if (attachedReceiver != nullptr)
            attachedReceiver->deviceAttachedStateChanged (attached, owner);
    }

    void capture()
    {
        while (! stopCapture)
        {
            system->resetEvent (captureEvent);

            while (! stopCapture && device->isOpen())
            {
                juce::uint32 pending = 0;

                if (! device->getProperty (PrivateMidiDevice::pendingCaptureMask, pending))
                    pending = 0;

                // Passes go on only while they bring bytes: a driver that keeps a port's
                // bit set with nothing to read must not keep this thread spinning.
                bool broughtBytes = false;

                for (int port = 0; port < numPorts && ! stopCapture; ++port)
                    if ((pending >> port) & 1u)
                        broughtBytes = readPort (port) || broughtBytes;

                if (! broughtBytes)
                    break;
            }

            if (stopCapture)
                return;

            system->waitForEvent (captureEvent, captureWakeUpMs);
        }
    }

    /** Reads one port's captured bytes, and hands them on once they make a chunk. True
        when the driver delivered bytes.
    */
    bool readPort (int index)
    {
        auto& port = capturePorts[(size_t) index];
        const OrbantaMutex::ScopedLock sl (port.lock);

        if (! port.open || port.receiver == nullptr || port.bufferStart == nullptr)
            return false;

        const auto bufferEnd = port.bufferStart + port.bufferSize;
        const auto room = (juce::uint32) (bufferEnd - port.writePosition);

        // Port, destination and room as 64-bit values: in a 32-bit process their upper
        // halves are the zeros of the driver's layout, in a 64-bit one the address
        // needs them.
        juce::uint8 request[24] = {};
        putLittleEndian64 (request, (juce::uint64) index);
        putLittleEndian64 (request + 8, (juce::uint64) reinterpret_cast<std::uintptr_t> (port.writePosition));
        putLittleEndian64 (request + 16, room);

        juce::uint8 reply[16] = {};
        auto succeeded = device->requestProperty (PrivateMidiDevice::readCapture, PrivateMidiDevice::get, request, sizeof (request), reply, sizeof (reply));

        const auto word1 = juce::ByteOrder::littleEndianInt (reply);
        const auto word2 = juce::ByteOrder::littleEndianInt (reply + 4);
        const auto count = juce::ByteOrder::littleEndianInt (reply + 8);
        const auto streamFlag = juce::ByteOrder::littleEndianInt (reply + 12) != 0;

        // A driver that claims more than the room offered is not believed.
        if (count > room)
            succeeded = false;

        if (succeeded)
            port.writePosition += count;

        const auto complete = ! succeeded || count == 0 || streamFlag || port.writePosition == bufferEnd
                              || port.writePosition[-1] == 0xF7;

        if (succeeded && complete && port.writePosition > port.bufferStart)
            port.receiver->midiDataCaptured (index, port.bufferStart, (int) (port.writePosition - port.bufferStart), word1, word2, streamFlag, owner);

        if (complete)
            port.writePosition = port.bufferStart;

        return succeeded && count > 0;
    }

    PrivateDriverSystem::Ptr system;

    OrbantaMutex lock; // attach handling and the attached-state receiver
    PrivateMidiAttachedStateCallbackReceiver* attachedReceiver = nullptr;

    std::array<RenderPort, numPorts> renderPorts;
    std::array<CapturePort, numPorts> capturePorts;

    PrivateDriverSystem::Handle captureEvent = 0;
    std::atomic<bool> stopCapture { false };
    std::unique_ptr<PrivateDriverSystem::Thread> captureThread;

    std::unique_ptr<PrivateMidiDevice> device;
    PrivateMidi& owner;
};

//==============================================================================
PrivateMidi::PrivateMidi (PrivateDriverSystem::Ptr system, const PrivateDeviceDescriptor& descriptor)
    : data (std::make_unique<MemberData> (*this, std::move (system), descriptor))
{
    data->captureEvent = data->system->createEvent();

    if (data->captureEvent != 0)
        data->captureThread = data->system->startThread ("Private MIDI capture", [d = data.get()]
                                                         { d->capture(); });

    data->device->setReceiver (data.get());
}

PrivateMidi::~PrivateMidi()
{
    // The watcher stays until the device is torn down; from here on its reports reach
    // nothing, so no attach handling runs while the rest is taken apart.
    data->device->setReceiver (nullptr);
    closeAllPorts();

    data->stopCapture = true;
    data->system->setEvent (data->captureEvent);
    data->system->joinThread (data->captureThread);

    if (data->device->isOpen())
        data->device->setProperty64 (PrivateMidiDevice::unregisterCaptureEvent, data->captureEvent);

    if (data->captureEvent != 0)
        data->system->closeEvent (data->captureEvent);

    data->device.reset();
    data.reset();
}

const PrivateDeviceDescriptor& PrivateMidi::getDescriptor() const noexcept
{
    return data->device->getDescriptor();
}

int PrivateMidi::setAttachedStateReceiver (PrivateMidiAttachedStateCallbackReceiver* receiver)
{
    {
        const OrbantaMutex::ScopedLock sl (data->lock);
        data->attachedReceiver = receiver;
    }

    // Not under the lock above: the device takes its own report lock first, then ours.
    data->device->setReceiver (data.get());
    return ok;
}

//==============================================================================
int PrivateMidi::setCaptureBuffer (int port, PrivateMidiCaptureCallbackReceiver* receiver, juce::uint8* buffer)
{
    if (! data->device->isOpen() || ! isValidPort (port))
        return badArgument;

    auto& p = data->capturePorts[(size_t) port];
    const OrbantaMutex::ScopedLock sl (p.lock);
    p.receiver = buffer != nullptr ? receiver : nullptr;
    p.bufferStart = buffer;
    p.bufferSize = buffer != nullptr ? captureBufferSize : 0;
    p.writePosition = buffer;
    return receiver != nullptr && buffer == nullptr ? badArgument : ok;
}

int PrivateMidi::openCapturePort (int port)
{
    return data->openPort (data->capturePorts, port, PrivateMidiDevice::openCapturePort);
}

int PrivateMidi::openRenderPort (int port)
{
    return data->openPort (data->renderPorts, port, PrivateMidiDevice::openRenderPort);
}

int PrivateMidi::closeAllPorts()
{
    auto result = deviceNotOpen;

    if (data->device->isOpen())
    {
        for (auto& p : data->renderPorts)
        {
            if (! p.open)
                continue;

            for (int waited = 0; waited < renderDrainLimitMs; waited += renderDrainPollMs)
            {
                const auto anyPending = std::any_of (p.queue.begin(), p.queue.end(), [] (auto& slot)
                                                     { return slot.pending.load(); });

                if (! anyPending)
                    break;

                data->system->sleep (renderDrainPollMs);
            }
        }

        for (auto& p : data->capturePorts)
        {
            if (p.open)
            {
                const OrbantaMutex::ScopedLock sl (p.lock);
                p.open = false;
            }
        }

        result = data->device->setProperty (PrivateMidiDevice::closeAllPorts, 1) ? ok : closeRefused;
    }

    for (auto& p : data->capturePorts)
    {
        // Bytes gathered before the close cannot be completed by what comes after it.
        const OrbantaMutex::ScopedLock sl (p.lock);
        p.open = false;
        p.writePosition = p.bufferStart;
    }

    for (auto& p : data->renderPorts)
        p.open = false;

    return result;
}

//==============================================================================
bool PrivateMidi::getCapturePortCount (juce::uint32& count)
{
    return data->device->getProperty (PrivateMidiDevice::capturePortCount, count);
}

bool PrivateMidi::getRenderPortCount (juce::uint32& count)
{
    return data->device->getProperty (PrivateMidiDevice::renderPortCount, count);
}

bool PrivateMidi::confirmPortsOpened()
{
    juce::uint32 ignored = 0;
    return data->device->getProperty (PrivateMidiDevice::portsOpened, ignored);
}

bool PrivateMidi::isDeviceOpen() const
{
    return data->device->isOpen();
}

bool PrivateMidi::isCapturePortOpen (int port) const
{
    return isValidPort (port) && data->capturePorts[(size_t) port].open;
}

bool PrivateMidi::isRenderPortOpen (int port) const
{
    return isValidPort (port) && data->renderPorts[(size_t) port].open;
}
