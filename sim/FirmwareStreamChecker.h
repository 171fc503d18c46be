#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** What the keyboard's loader checks before it flashes a received firmware stream:
    the SysEx frame, every Intel HEX record and its checksum, the record types, the
    flash range of the image and the end marker. Written apart from the updater's code,
    which never parses a stream, so that the two cannot share a mistake.
*/
class FirmwareStreamChecker final
{
public:
    enum class Image
    {
        app,
        assets
    };

    struct Result
    {
        bool accepted = false;
        Image image = Image::app;
        juce::String reason; // why the stream was rejected; empty when accepted
    };

    /** Checks one whole stream, from its F0 to its F7. The image is told by the first
        record's address.
    */
    static Result check (const std::vector<juce::uint8>& stream);

private:
    FirmwareStreamChecker() = delete;
};
