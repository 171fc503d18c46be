#include "sim/FirmwareStreamChecker.h"

namespace
{
// The loader's own constants.
constexpr juce::uint8 streamHeader[] = { 0xF0, 0x47, 0x00, 0x2E, 0x70 };
constexpr juce::uint32 appFirst = 0x08040000, appLast = 0x080FFFFF;
constexpr juce::uint32 assetsFirst = 0x08100000, assetsLast = 0x084FFFFF;
constexpr juce::uint8 endMarker[] = { 0x78, 0x56, 0x34, 0x12 };

int hexDigit (char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';

    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;

    return -1; // upper case is not what the streams use
}

FirmwareStreamChecker::Result reject (const juce::String& reason)
{
    return { false, FirmwareStreamChecker::Image::app, reason };
}
} // namespace

FirmwareStreamChecker::Result FirmwareStreamChecker::check (const std::vector<juce::uint8>& stream)
{
    if (stream.size() < sizeof (streamHeader) + 2 || ! std::equal (std::begin (streamHeader), std::end (streamHeader), stream.begin()))
        return reject ("no firmware stream header");

    if (stream.back() != 0xF7)
        return reject ("stream does not end with F7");

    const auto* text = reinterpret_cast<const char*> (stream.data()) + sizeof (streamHeader);
    const auto textLength = stream.size() - sizeof (streamHeader) - 1;

    Result result { true, Image::app, {} };
    juce::uint32 first = 0, last = 0, upper = 0;
    juce::int64 nextFreeAddress = -1;
    bool haveRange = false, ended = false, markerFound = false;
    int lineNumber = 0;

    for (size_t pos = 0; pos < textLength; ++lineNumber)
    {
        const auto where = "record " + juce::String (lineNumber) + ": ";

        if (ended)
            return reject (where + "text after the end-of-file record");

        size_t end = pos;

        while (end < textLength && text[end] != '\r' && text[end] != '\n')
            ++end;

        const auto isLastLine = (end == textLength);

        if (! isLastLine && (end + 1 >= textLength || text[end] != '\r' || text[end + 1] != '\n'))
            return reject (where + "line not ended by CR LF");

        if (text[pos] != ':' || (end - pos) % 2 != 1 || end - pos < 11)
            return reject (where + "malformed record");

        std::vector<juce::uint8> bytes;

        for (auto i = pos + 1; i < end; i += 2)
        {
            const auto hi = hexDigit (text[i]), lo = hexDigit (text[i + 1]);

            if (hi < 0 || lo < 0)
                return reject (where + "not a lower-case hex digit");

            bytes.push_back ((juce::uint8) (hi * 16 + lo));
        }

        const auto length = bytes[0];
        const auto address = (juce::uint32) (bytes[1] << 8 | bytes[2]);
        const auto type = bytes[3];

        if (bytes.size() != (size_t) length + 5)
            return reject (where + "length does not match");

        juce::uint8 sum = 0;

        for (auto b : bytes)
            sum = (juce::uint8) (sum + b);

        if (sum != 0)
            return reject (where + "bad checksum");

        switch (type)
        {
            case 0x04:
            {
                if (length != 2 || address != 0)
                    return reject (where + "malformed extended address record");

                upper = (juce::uint32) (bytes[4] << 8 | bytes[5]) << 16;

                if (! haveRange)
                {
                    haveRange = true;

                    if (upper == (appFirst & 0xFFFF0000))
                        std::tie (result.image, first, last) = std::make_tuple (Image::app, appFirst, appLast);
                    else if (upper == (assetsFirst & 0xFFFF0000))
                        std::tie (result.image, first, last) = std::make_tuple (Image::assets, assetsFirst, assetsLast);
                    else
                        return reject (where + "first address is in neither image's range");
                }
                break;
            }

            case 0x00:
            {
                if (! haveRange)
                    return reject (where + "data before the first address record");

                const auto absolute = upper | address;

                if (absolute < first || (juce::int64) absolute + length - 1 > last)
                    return reject (where + "data outside the image's flash range");

                if ((juce::int64) absolute < nextFreeAddress)
                    return reject (where + "data overlaps earlier data");

                nextFreeAddress = (juce::int64) absolute + length;

                if (absolute == last - 3 && length == 4 && std::equal (std::begin (endMarker), std::end (endMarker), bytes.begin() + 4))
                    markerFound = true;

                break;
            }

            case 0x01:
                if (length != 0)
                    return reject (where + "malformed end-of-file record");

                if (! isLastLine)
                    return reject (where + "text after the end-of-file record");

                ended = true;
                break;

            default:
                return reject (where + "unknown record type " + juce::String::toHexString (type));
        }

        pos = isLastLine ? end : end + 2;
    }

    if (! ended)
        return reject ("no end-of-file record");

    if (! markerFound)
        return reject ("no end marker at the top of the flash range");

    return result;
}
