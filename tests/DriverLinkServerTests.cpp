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

    /** The next frame of this type; frames of other types are skipped. */
    std::vector<std::uint8_t> next (Frame wanted)
    {
        for (;;)
        {
            std::uint8_t header[headerSize];

            if (socket.waitUntilReady (true, 10000) != 1 || socket.read (header, (int) headerSize, true) != (int) headerSize)
                return {};

            std::vector<std::uint8_t> body (bodySizeOf (header));

            if (! body.empty() && socket.read (body.data(), (int) body.size(), true) != (int) body.size())
                return {};

            if ((Frame) header[4] == wanted)
                return body;
        }
    }

    std::uint32_t open (std::uint32_t request, int portId)
    {
        Writer frame (Frame::open);
        frame.u32 (request).u32 ((std::uint32_t) portId).u8 (0);
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

    ports->removePort (portId);
    EXPECT_TRUE (namesIn (b.next (Frame::portList)).isEmpty());
}
