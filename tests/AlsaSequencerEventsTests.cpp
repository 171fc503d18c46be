#include "engine/FirmwareUpdate.h"
#include "midi/AlsaSequencerEvents.h"

#include <gtest/gtest.h>

namespace
{
using Bytes = std::vector<juce::uint8>;

/** What the sequencer would carry to the port for these events, and whether every one is
    a SysEx event.
*/
Bytes carriedBytes (const std::vector<snd_seq_event_t>& events, bool& allSysex)
{
    Bytes bytes;
    allSysex = true;

    for (auto& e : events)
    {
        allSysex = allSysex && e.type == SND_SEQ_EVENT_SYSEX && (e.flags & SND_SEQ_EVENT_LENGTH_MASK) == SND_SEQ_EVENT_LENGTH_VARIABLE;
        const auto* data = static_cast<const juce::uint8*> (e.data.ext.ptr);
        bytes.insert (bytes.end(), data, data + e.data.ext.len);
    }

    return bytes;
}
} // namespace

TEST (AlsaSequencerEvents, EveryBlockOfALongSysexGoesOutByteForByte)
{
    // An image of 2.5 blocks: the second block starts with data bytes, the last holds F7.
    Bytes image (2560);
    image.front() = 0xF0;
    image.back() = 0xF7;

    for (size_t i = 1; i + 1 < image.size(); ++i)
        image[i] = (juce::uint8) ((i * 7) & 0x7F);

    const FirmwareUpdate::Ptr update = new FirmwareUpdate (image, "MORELTA49", "test");
    AlsaSequencerEvents events;
    Bytes sent;

    for (juce::uint32 b = 0; b < update->getBlockCount(); ++b)
    {
        const auto block = update->getBlock (b);
        bool allSysex = false;
        const auto carried = carriedBytes (events.encode (block.data(), (int) block.size()), allSysex);

        EXPECT_TRUE (allSysex) << "block " << b;
        EXPECT_EQ (carried, block) << "block " << b;
        sent.insert (sent.end(), carried.begin(), carried.end());
    }

    EXPECT_EQ (sent, image);

    // A message longer than one event is carried by several, in order.
    bool allSysex = false;
    const auto whole = events.encode (image.data(), (int) image.size());
    EXPECT_EQ (whole.size(), 3u);
    EXPECT_EQ (carriedBytes (whole, allSysex), image);
    EXPECT_TRUE (allSysex);
}

TEST (AlsaSequencerEvents, MessagesThatAreNotSysexGoThroughTheEncoder)
{
    struct Case
    {
        Bytes bytes;
        snd_seq_event_type_t type;
    };

    const Case cases[] = {
        { { 0x91, 0x3C, 0x64 }, SND_SEQ_EVENT_NOTEON },
        { { 0x80, 0x3C, 0x00 }, SND_SEQ_EVENT_NOTEOFF },
        { { 0xC2, 0x05 }, SND_SEQ_EVENT_PGMCHANGE },
        { { 0xB0, 0x07, 0x7F }, SND_SEQ_EVENT_CONTROLLER },
    };

    AlsaSequencerEvents events;

    // After a SysEx, as the encoder must start afresh for each message.
    const Bytes identityRequest { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 };
    EXPECT_EQ (events.encode (identityRequest.data(), (int) identityRequest.size()).size(), 1u);

    for (auto& c : cases)
    {
        const auto encoded = events.encode (c.bytes.data(), (int) c.bytes.size());
        ASSERT_EQ (encoded.size(), 1u) << (int) c.bytes[0];
        EXPECT_EQ (encoded[0].type, c.type) << (int) c.bytes[0];
        EXPECT_EQ (encoded[0].data.note.channel, c.bytes[0] & 0x0F) << (int) c.bytes[0];
    }

    const auto noteOn = events.encode (cases[0].bytes.data(), 3)[0];
    EXPECT_EQ (noteOn.data.note.note, 0x3C);
    EXPECT_EQ (noteOn.data.note.velocity, 0x64);
}
