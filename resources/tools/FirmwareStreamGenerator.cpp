// Writes our own placeholder firmware streams: one SysEx message each, F0 47 00 2E 70,
// Intel HEX text (lower case, CR LF between lines), F7, at exactly the size the real
// streams have, filled with deterministic pseudo-random data.
//
//   firmware_stream_generator app|assets OUTPUT_FILE

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{
struct ImageLayout
{
    uint32_t first, last; // flash range of the image's records
    size_t streamSize;    // bytes of the whole SysEx message
    uint32_t seed;
};

const ImageLayout appLayout { 0x08040000, 0x080FFFFF, 1629184, 0x41505031 };
const ImageLayout assetsLayout { 0x08100000, 0x084FFFFF, 8100840, 0x41535354 };

const char* const hexDigits = "0123456789abcdef";

std::string record (int type, uint32_t offset, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> bytes { (uint8_t) payload.size(), (uint8_t) (offset >> 8), (uint8_t) offset, (uint8_t) type };
    bytes.insert (bytes.end(), payload.begin(), payload.end());

    uint8_t sum = 0;

    for (auto b : bytes)
        sum = (uint8_t) (sum + b);

    bytes.push_back ((uint8_t) (0x100 - sum));

    std::string line = ":";

    for (auto b : bytes)
    {
        line += hexDigits[b >> 4];
        line += hexDigits[b & 15];
    }

    return line;
}

/** Lays out `records` data records holding `dataBytes` bytes in all, 16 each except
    the last few, and hands each line to `emit`. False if they do not fit the range.
*/
template <typename Emit>
bool layOut (const ImageLayout& image, size_t records, size_t dataBytes, Emit&& emit)
{
    if (dataBytes < records || dataBytes > records * 16)
        return false;

    size_t shortBy = records * 16 - dataBytes; // taken off the last records, up to 15 each
    uint32_t address = image.first;
    uint32_t state = image.seed;
    emit (4, address, 2);

    for (size_t r = 0; r < records; ++r)
    {
        const auto recordsLeft = records - r;
        size_t length = 16;

        if (shortBy > (recordsLeft - 1) * 15)
        {
            const auto cut = shortBy - (recordsLeft - 1) * 15;
            length -= cut;
            shortBy -= cut;
        }

        // A record never crosses a 64 KiB segment: the next one starts the next segment.
        if ((address & 0xFFFF) + length > 0x10000)
            address = (address & 0xFFFF0000) + 0x10000;

        if ((address & 0xFFFF) == 0 && address != image.first)
            emit (4, address, 2);

        emit (0, address, length, &state);
        address += (uint32_t) length;
    }

    const auto markerAddress = image.last - 3;

    if (address > markerAddress)
        return false;

    if ((address - 1) >> 16 != markerAddress >> 16)
        emit (4, markerAddress, 2);

    emit (0, markerAddress, 4);
    emit (1, 0, 0);
    return true;
}

/** The size of the text that layOut makes. */
size_t measure (const ImageLayout& image, size_t records, size_t dataBytes)
{
    size_t size = 0, lines = 0;

    if (! layOut (image, records, dataBytes, [&] (int, uint32_t, size_t length, uint32_t* = nullptr)
                  { size += 11 + 2 * length; ++lines; }))
        return 0;

    return size + 2 * (lines - 1);
}

std::string makeText (const ImageLayout& image)
{
    const auto textSize = image.streamSize - 6;

    // A data record of k bytes takes 13 + 2k characters with its line break, so the
    // record count and the byte count fix the size once the other lines are known;
    // those follow the segments the data spans. Search near the count of full records.
    for (size_t records = textSize / 45 - 64; records < textSize / 45 + 64; ++records)
    {
        // First guess: an address line for each segment the full records span.
        size_t others = 17 * (records * 16 / 0x10000 + 2) + 19 + 2 + 11;

        for (int attempt = 0; attempt < 4; ++attempt)
        {
            if (textSize < others + 13 * records || (textSize - others - 13 * records) % 2 != 0)
                break;

            const auto dataBytes = (textSize - others - 13 * records) / 2;
            const auto size = measure (image, records, dataBytes);

            if (size == 0)
                break;

            if (size == textSize)
            {
                std::string text;
                text.reserve (textSize);

                layOut (image, records, dataBytes, [&] (int type, uint32_t address, size_t length, uint32_t* state = nullptr)
                        {
                            std::vector<uint8_t> payload (length);

                            if (type == 4)
                                payload = { (uint8_t) (address >> 24), (uint8_t) (address >> 16) };
                            else if (type == 0 && state == nullptr)
                                payload = { 0x78, 0x56, 0x34, 0x12 };

                            for (auto& b : payload)
                            {
                                if (state != nullptr)
                                {
                                    *state ^= *state << 13;
                                    *state ^= *state >> 17;
                                    *state ^= *state << 5;
                                    b = (uint8_t) *state;
                                }
                            }

                            if (! text.empty())
                                text += "\r\n";

                            text += record (type, type == 0 ? address & 0xFFFF : 0, payload); });

                return text;
            }

            // Correct the guess by what this layout used.
            others = size - (13 * records + 2 * dataBytes);
        }
    }

    return {};
}

} // namespace

int main (int argc, char** argv)
{
    if (argc != 3 || (std::strcmp (argv[1], "app") != 0 && std::strcmp (argv[1], "assets") != 0))
    {
        std::fprintf (stderr, "usage: %s app|assets OUTPUT_FILE\n", argv[0]);
        return 2;
    }

    const auto& image = std::strcmp (argv[1], "app") == 0 ? appLayout : assetsLayout;
    const auto text = makeText (image);

    if (text.empty())
    {
        std::fprintf (stderr, "no layout fits %zu bytes\n", image.streamSize);
        return 1;
    }

    std::string stream ("\xF0\x47\x00\x2E\x70", 5);
    stream += text;
    stream += '\xF7';

    auto* file = std::fopen (argv[2], "wb");

    if (file == nullptr || std::fwrite (stream.data(), 1, stream.size(), file) != stream.size() || std::fclose (file) != 0)
    {
        std::fprintf (stderr, "cannot write %s\n", argv[2]);
        return 1;
    }

    return 0;
}
