#pragma once

#include <juce_core/juce_core.h>

#include <optional>
#include <vector>

/** One firmware image as it is sent: the whole stream, the message (if any) that must
    go before it, the output port it goes to, cut into 1024-byte blocks on request.
*/
class FirmwareUpdate final : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<FirmwareUpdate>;
    using Bytes = std::vector<juce::uint8>;

    /** The version of the firmware the embedded streams hold. */
    static constexpr double embeddedVersion = 1.25;

    static constexpr int blockSize = 1024;
    static constexpr int blockPauseMs = 1;

    /** From an embedded stream; no entry message. */
    FirmwareUpdate (const char* streamData, int streamSize, const juce::String& portName, const juce::String& name);

    FirmwareUpdate (Bytes entryMessage, Bytes data, const juce::String& portName, const juce::String& name);

    /** The images of an update, app first, both to the keyboard's first port: in a
        normal update the app image opens with Enter Update Mode, in an emergency update
        the keyboard is in its update mode already. Empty without a port name, or when a
        normal update has no model code to address Enter Update Mode with.
    */
    static juce::ReferenceCountedArray<FirmwareUpdate> makeImages (const juce::String& port1Name, bool emergencyMode, std::optional<juce::uint8> modelCode);

    /** Bytes index x 1024 up to the next block or the end; empty past the last block. */
    Bytes getBlock (juce::uint32 index) const;

    Bytes getEntryMessage() const { return entryMessage; }
    juce::String getPortName() const { return portName; }
    juce::String getName() const { return name; }
    juce::uint32 getBlockCount() const noexcept { return blockCount; }
    int getBlockPause() const noexcept { return blockPauseMs; }

private:
    const Bytes data;
    const Bytes entryMessage;
    const juce::String name;
    const juce::String portName;
    const juce::uint32 blockCount;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareUpdate)
};
