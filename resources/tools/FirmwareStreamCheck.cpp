// Build-time check of the firmware streams the executable embeds: each must be one
// well-formed SysEx message of valid Intel HEX records for its image, as the
// keyboard's loader will check it. The updater itself never reads the text.
//
//   firmware_stream_check app|assets FILE [STAMP_FILE]

#include "sim/FirmwareStreamChecker.h"

#include <iostream>

int main (int argc, char** argv)
{
    if (argc < 3 || (juce::String (argv[1]) != "app" && juce::String (argv[1]) != "assets"))
    {
        std::cerr << "usage: " << argv[0] << " app|assets FILE [STAMP_FILE]\n";
        return 2;
    }

    const juce::File file (juce::File::getCurrentWorkingDirectory().getChildFile (argv[2]));
    juce::MemoryBlock data;

    if (! file.loadFileAsData (data))
    {
        std::cerr << "cannot read " << file.getFullPathName() << "\n";
        return 1;
    }

    const auto* bytes = static_cast<const juce::uint8*> (data.getData());
    const auto result = FirmwareStreamChecker::check ({ bytes, bytes + data.getSize() });
    const auto expected = juce::String (argv[1]) == "app" ? FirmwareStreamChecker::Image::app : FirmwareStreamChecker::Image::assets;

    if (! result.accepted)
    {
        std::cerr << file.getFullPathName() << ": " << result.reason << "\n";
        return 1;
    }

    if (result.image != expected)
    {
        std::cerr << file.getFullPathName() << ": not the " << argv[1] << " image\n";
        return 1;
    }

    if (argc > 3 && ! juce::File::getCurrentWorkingDirectory().getChildFile (argv[3]).replaceWithText ("checked\n"))
        return 1;

    return 0;
}
