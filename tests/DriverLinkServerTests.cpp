// The keyboard process's end of the WinMM test driver's link, driven over TCP as the
// driver drives it (the driver itself is tested under Wine).

#include "sim/DriverLinkServer.h"
#include "sim/SimulatedKeyboard.h"

#include <gtest/gtest.h>

using namespace DriverLinkProtocol;

namespace
{
/** A driver instance's socket, frame by frame. */
struct LinkPeer
{
    explicit LinkPeer (int port) { connected = socket.connect ("127.0.0.1", port, 5000); }

    void send (Writer& frame)
    {
        const auto& bytes = frame.frame();
        ASSERT_EQ (socket.write (bytes.data(), (int) bytes.size()), (int) bytes.size());
    }

    /** The next frame of this type; frames of other types are skipped. Empty when none
        comes within 10 s, or what comes is no frame.
    */
    std::vector<std::uint8_t> next (Frame wanted)
    {
        for (;;)
        {
            std::uint8_t header[headerSize];

            if (! readExactly (header, headerSize) || bodySizeOf (header) > maxBodySize)
                return {};

            std::vector<std::uint8_t> body (bodySizeOf (header));

            if (! readExactly (body.data(), body.size()))
                return {};

            if ((Frame) header[4] == wanted)
                return body;
        }
    }

    bool readExactly (std::uint8_t* data, size_t size)
    {
        while (size > 0)
        {
            const auto n = socket.waitUntilReady (true, 10000) == 1 ? socket.read (data, (int) size, false) : -1;

            if (n <= 0)
                return false;

            data += n;
            size -= (size_t) n;
        }

        return true;
    }

    std::uint32_t open (std::uint32_t request, int portId, bool isInput = false)
    {
        Writer frame (Frame::open);
        frame.u32 (request).u32 ((std::uint32_t) portId).u8 (isInput ? 1 : 0);
        send (frame);
        const auto body = next (Frame::openResult);
        Reader reader (body.data(), body.size());
        EXPECT_EQ (reader.u32(), request);
        return reader.u32();
    }

    juce::StreamingSocket socket;
    bool connected = false;
};

/** The names in a port list frame. */
juce::StringArray namesIn (const std::vector<std::uint8_t>& body)
{
    Reader reader (body.data(), body.size());
    juce::StringArray names;

    for (auto n = reader.u32(); n > 0; --n)
    {
        reader.u32();
        reader.u8();
        names.add (reader.text());
    }

    return names;
}
} // namespace

TEST (DriverLinkServer, OnePeerHoldsAPortAndItsBlocksReachTheKeyboardWholeBeforeDone)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    std::vector<std::vector<juce::uint8>> received;
    std::mutex receivedMutex;
    const auto portId = ports->addOutputPort ("MORELTA49", [&] (const juce::MidiMessage& m)
                                              {
                                                  const std::lock_guard<std::mutex> guard (receivedMutex);
                                                  received.emplace_back (m.getRawData(), m.getRawData() + m.getRawDataSize()); });
    DriverLinkServer server (ports, {}, nullptr);
    ASSERT_TRUE (server.start (0));

    LinkPeer a (server.getPort()), b (server.getPort());
    ASSERT_TRUE (a.connected && b.connected);
    EXPECT_EQ (namesIn (a.next (Frame::portList)), juce::StringArray ("MORELTA49"));

    EXPECT_EQ (a.open (1, portId), (std::uint32_t) ok);
    EXPECT_EQ (b.open (2, portId), (std::uint32_t) allocated) << "held by another driver instance";

    std::vector<std::uint8_t> block (1024, ':');
    Writer send (Frame::send);
    send.u32 (7).u32 ((std::uint32_t) portId).raw (block.data(), block.size());
    a.send (send);
    EXPECT_FALSE (a.next (Frame::accepted).empty());
    EXPECT_FALSE (a.next (Frame::done).empty());

    {
        const std::lock_guard<std::mutex> guard (receivedMutex);
        ASSERT_EQ (received.size(), 1u);
        EXPECT_EQ (received[0], block);
    }

    // A peer that goes gives its ports up.
    a.socket.close();
    const auto end = juce::Time::getMillisecondCounter() + 10000;
    std::uint32_t result = allocated;

    for (std::uint32_t request = 3; result == allocated && juce::Time::getMillisecondCounter() < end; ++request)
        result = b.open (request, portId);

    EXPECT_EQ (result, (std::uint32_t) ok);

    // What the keyboard sends while the peer is slow to read arrives whole and in order,
    // however full the link's buffers are: a dump's replies come back to back. Far more
    // than the socket buffers hold is sent, and the peer reads only a while later.
    const auto inputId = ports->addInputPort ("MIDIIN3 (MORELTA49)");
    EXPECT_EQ (b.open (100, inputId, true), (std::uint32_t) ok);
    constexpr int burst = 8000;

    for (int i = 0; i < burst; ++i)
    {
        std::vector<juce::uint8> message (1024, 0x11);
        message.front() = 0xF0;
        message[1] = (juce::uint8) (i >> 7);
        message[2] = (juce::uint8) (i & 0x7F);
        message.back() = 0xF7;
        ports->sendFromDevice (inputId, juce::MidiMessage (message.data(), (int) message.size()));
    }

    juce::Thread::sleep (1000); // lets the keyboard's side fill the buffers; the reads below do not rely on it
    int inOrder = 0;

    for (auto body = b.next (Frame::input); body.size() == 4 + 1024; body = b.next (Frame::input))
    {
        if (body[5] != (juce::uint8) (inOrder >> 7) || body[6] != (juce::uint8) (inOrder & 0x7F))
            break;

        if (++inOrder == burst)
            break;
    }

    EXPECT_EQ (inOrder, burst);

    ports->removePort (portId);
    EXPECT_EQ (namesIn (b.next (Frame::portList)), juce::StringArray ("MIDIIN3 (MORELTA49)"));
}
