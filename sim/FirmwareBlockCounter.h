#pragma once

#include "sim/FirmwareStreamChecker.h"
#include "sim/KeyboardFault.h"

/** Tells which firmware block a write to the keyboard is, as the keyboard's fault points
    count them (app-block:N, assets-block:N): the write that starts a stream is block 0 of
    its image, and each write after it up to the one ending in F7 is the next block.

    The keyboard recognises a stream's start with it, and the keyboard process's driver
    link counts the blocks the driver carries with it, so that both count alike.
*/
class FirmwareBlockCounter final
{
public:
    struct Block
    {
        KeyboardFault::Point point;
        int index;
    };

    /** Whether this write starts a firmware stream. */
    static bool startsStream (const juce::uint8* data, size_t size);

    /** The image whose stream this first write starts; nothing when it names none. */
    static std::optional<FirmwareStreamChecker::Image> imageOf (const juce::uint8* data, size_t size);

    /** Counts one write; the block it is, or nothing for a write outside a stream. */
    std::optional<Block> count (const juce::uint8* data, size_t size);

private:
    bool inStream = false;
    KeyboardFault::Point point = KeyboardFault::Point::appBlock;
    int writes = 0;
};
