#include "engine/FirmwareUpdate.h"

#include "resources/EmbeddedResources.h"

FirmwareUpdate::FirmwareUpdate (const char* streamData, int streamSize, const juce::String& port, const juce::String& imageName)
    : FirmwareUpdate (Bytes (reinterpret_cast<const juce::uint8*> (streamData), reinterpret_cast<const juce::uint8*> (streamData) + streamSize), port, imageName)
{
}

FirmwareUpdate::FirmwareUpdate (Bytes stream, const juce::String& port, const juce::String& imageName)
    : data (std::move (stream))
    , name (imageName)
    , portName (port)
    , blockCount ((juce::uint32) ((data.size() + blockSize - 1) / blockSize))
{
}

FirmwareUpdate::Bytes FirmwareUpdate::getBlock (juce::uint32 index) const
{
    if (index >= blockCount)
        return {};

    const auto start = (size_t) index * blockSize;
    const auto end = std::min (data.size(), start + blockSize);
    return { data.begin() + (std::ptrdiff_t) start, data.begin() + (std::ptrdiff_t) end };
}

juce::ReferenceCountedArray<FirmwareUpdate> FirmwareUpdate::makeImages (const juce::String& portName)
{
    juce::ReferenceCountedArray<FirmwareUpdate> images;

    if (portName.isEmpty())
        return images;

    images.add (new FirmwareUpdate (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize, portName, "Morelta App"));
    images.add (new FirmwareUpdate (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize, portName, "Morelta Assets"));
    return images;
}
