#include "sim/FirmwareBlockCounter.h"

bool FirmwareBlockCounter::startsStream (const juce::uint8* data, size_t size)
{
    static const juce::uint8 start[] = { 0xF0, 0x47, 0x00, 0x2E, 0x70 };
    return size >= sizeof (start) && std::equal (start, start + sizeof (start), data);
}

std::optional<FirmwareStreamChecker::Image> FirmwareBlockCounter::imageOf (const juce::uint8* data, size_t size)
{
    const auto text = juce::String::createStringFromData (data + 5, (int) juce::jmin<size_t> (size - 5, 15));

    if (text.startsWith (":020000040804"))
        return FirmwareStreamChecker::Image::app;

    if (text.startsWith (":020000040810"))
        return FirmwareStreamChecker::Image::assets;

    return {};
}

std::optional<FirmwareBlockCounter::Block> FirmwareBlockCounter::count (const juce::uint8* data, size_t size)
{
    if (size == 0)
        return {};

    if (startsStream (data, size))
    {
        inStream = true;
        writes = 0;
        point = imageOf (data, size) == FirmwareStreamChecker::Image::assets ? KeyboardFault::Point::assetsBlock
                                                                             : KeyboardFault::Point::appBlock;
    }
    else if (! inStream)
    {
        return {};
    }

    const Block block { point, writes++ };

    if (data[size - 1] == 0xF7)
        inStream = false;

    return block;
}
