#pragma once

// The link between our WinMM test driver (inside an application's process under Wine)
// and the keyboard process that owns the simulated keyboard's ports: frames over TCP on
// 127.0.0.1. Both sides include this header; it uses only the standard library, because
// the driver has no JUCE inside it.
//
// A frame is a 5-byte header, the body's length (32 bits, little-endian) and its type,
// then the body. Numbers in bodies are 32-bit little-endian; names are UTF-8.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace DriverLinkProtocol
{
/** Where the driver connects when MORELTA_TEST_DRIVER_PORT does not say. */
constexpr std::uint16_t defaultPort = 47391;
constexpr const char* portVariable = "MORELTA_TEST_DRIVER_PORT";

constexpr std::uint32_t version = 1;

/** The ProductGuid of every port of the test driver, in MIDIOUTCAPS2W and MIDIINCAPS2W:
    {5A736007-CFD7-4E2C-AC69-8DACC12A6D1A}. No real device has it, so a client can tell
    our simulated keyboard's ports from a real one's.
*/
struct Guid
{
    std::uint32_t data1;
    std::uint16_t data2, data3;
    std::uint8_t data4[8];
};

constexpr Guid productGuid { 0x5a736007, 0xcfd7, 0x4e2c, { 0xac, 0x69, 0x8d, 0xac, 0xc1, 0x2a, 0x6d, 0x1a } };

/** A driver message (DRVM_USER + 1) an application sends to an open input with
    midiInMessage: the driver writes into the DWORD that param1 points to how many
    bytes it dropped because no buffer was queued or the input was not started.
*/
constexpr unsigned droppedInputQuery = 0x4001;
constexpr std::size_t headerSize = 5;

/** Bodies larger than this are a broken peer, not MIDI. */
constexpr std::uint32_t maxBodySize = 1u << 24;

enum class Frame : std::uint8_t
{
    hello = 1,        // driver -> keyboard: version
    portList = 2,     // keyboard -> driver: count, then per port: id, isInput (1 byte), name (length, UTF-8)
    open = 3,         // driver -> keyboard: request, port id, isInput (1 byte)
    openResult = 4,   // keyboard -> driver: request, result
    close = 5,        // driver -> keyboard: port id, isInput (1 byte)
    send = 6,         // driver -> keyboard: tag (0: a short message, no answer), port id, bytes
    accepted = 7,     // keyboard -> driver: tag, result (the send was taken on, or refused)
    done = 8,         // keyboard -> driver: tag (the keyboard has taken the bytes)
    input = 9,        // keyboard -> driver: port id, bytes (one whole message)
    control = 10,     // client -> keyboard: a request as text ("check", "quit", ...)
    controlReply = 11 // keyboard -> client: status (0: passed), text
};

/** The results the keyboard process answers with; the driver hands them to WinMM as
    the MMRESULT of the same value.
*/
enum Result : std::uint32_t
{
    ok = 0,        // MMSYSERR_NOERROR
    error = 1,     // MMSYSERR_ERROR
    allocated = 4, // MMSYSERR_ALLOCATED
    noDriver = 6   // MMSYSERR_NODRIVER
};

//==============================================================================
/** Builds a frame's body. */
class Writer
{
public:
    explicit Writer (Frame type)
    {
        bytes.resize (headerSize);
        bytes[4] = (std::uint8_t) type;
    }

    Writer& u8 (std::uint8_t v)
    {
        bytes.push_back (v);
        return *this;
    }

    Writer& u32 (std::uint32_t v)
    {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back ((std::uint8_t) (v >> shift));

        return *this;
    }

    Writer& raw (const void* data, std::size_t size)
    {
        const auto* p = static_cast<const std::uint8_t*> (data);
        bytes.insert (bytes.end(), p, p + size);
        return *this;
    }

    Writer& text (const std::string& s) { return u32 ((std::uint32_t) s.size()).raw (s.data(), s.size()); }

    /** The whole frame, header included. */
    const std::vector<std::uint8_t>& frame()
    {
        const auto body = (std::uint32_t) (bytes.size() - headerSize);

        for (int i = 0; i < 4; ++i)
            bytes[(std::size_t) i] = (std::uint8_t) (body >> (8 * i));

        return bytes;
    }

private:
    std::vector<std::uint8_t> bytes;
};

/** Reads a frame's body; reading past its end gives zeros and marks it bad. */
class Reader
{
public:
    Reader (const std::uint8_t* d, std::size_t s)
        : data (d)
        , size (s)
    {
    }

    std::uint8_t u8() { return has (1) ? data[pos++] : (std::uint8_t) 0; }

    std::uint32_t u32()
    {
        if (! has (4))
            return 0;

        std::uint32_t v = 0;

        for (int i = 0; i < 4; ++i)
            v |= (std::uint32_t) data[pos++] << (8 * i);

        return v;
    }

    std::string text()
    {
        const auto n = u32();

        if (! has (n))
            return {};

        std::string s (reinterpret_cast<const char*> (data + pos), n);
        pos += n;
        return s;
    }

    /** What is left of the body. */
    std::vector<std::uint8_t> rest()
    {
        std::vector<std::uint8_t> r (data + pos, data + size);
        pos = size;
        return r;
    }

    bool isBad() const noexcept { return bad; }

private:
    bool has (std::size_t n)
    {
        if (size - pos >= n)
            return true;

        bad = true;
        pos = size;
        return false;
    }

    const std::uint8_t* data;
    std::size_t size, pos = 0;
    bool bad = false;
};

/** The body length and type of a frame header. */
inline std::uint32_t bodySizeOf (const std::uint8_t* header)
{
    return (std::uint32_t) header[0] | (std::uint32_t) header[1] << 8 | (std::uint32_t) header[2] << 16 | (std::uint32_t) header[3] << 24;
}
} // namespace DriverLinkProtocol
