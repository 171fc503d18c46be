#pragma once

#include <juce_core/juce_core.h>

#include <vector>

/** One firmware image as it is sent: the whole stream and the output port it goes to,
    cut into 1024-byte blocks on request.
*/
class FirmwareUpdate final : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<FirmwareUpdate>;
    using Bytes = std::vector<juce::uint8>;

    /** The two images of an update, by their place in it: the app image goes first. */
    enum Image
    {
        app = 0,
        assets = 1,
        numImages = 2
    };

    /** The version of the firmware the embedded streams hold. */
    static constexpr double embeddedVersion = 1.25;

    static constexpr int blockSize = 1024;
    static constexpr int blockPauseMs = 1;

    /** From an embedded stream. */
    FirmwareUpdate (const char* streamData, int streamSize, const juce::String& portName, const juce::String& name);

    FirmwareUpdate (Bytes data, const juce::String& portName, const juce::String& name);

    /** The embedded images, indexed by Image, both to this port; none without a port. */
    static juce::ReferenceCountedArray<FirmwareUpdate> makeImages (const juce::String& portName);

    /** Bytes index x 1024 up to the next block or the end; empty past the last block. */
    Bytes getBlock (juce::uint32 index) const;

    juce::String getPortName() const { return portName; }
    juce::String getName() const { return name; }
    juce::uint32 getBlockCount() const noexcept { return blockCount; }
    int getBlockPause() const noexcept { return blockPauseMs; }

private:
    const Bytes data;
    const juce::String name;
    const juce::String portName;
    const juce::uint32 blockCount;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareUpdate)
};
