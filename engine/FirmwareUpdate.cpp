#include "engine/FirmwareUpdate.h"

#include "engine/DeviceMessages.h"
#include "resources/EmbeddedResources.h"

FirmwareUpdate::FirmwareUpdate (const char* streamData, int streamSize, const juce::String& port, const juce::String& imageName)
    : FirmwareUpdate ({}, Bytes (reinterpret_cast<const juce::uint8*> (streamData), reinterpret_cast<const juce::uint8*> (streamData) + streamSize), port, imageName)
{
}

FirmwareUpdate::FirmwareUpdate (Bytes entry, Bytes stream, const juce::String& port, const juce::String& imageName)
    : data (std::move (stream))
    , entryMessage (std::move (entry))
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

juce::ReferenceCountedArray<FirmwareUpdate> FirmwareUpdate::makeImages (const juce::String& port1Name, bool emergencyMode, std::optional<juce::uint8> modelCode)
{
    juce::ReferenceCountedArray<FirmwareUpdate> images;
    const auto enterUpdateMode = DeviceMessages::buildEnterUpdateMode (modelCode);

    if (port1Name.isEmpty() || (! emergencyMode && ! enterUpdateMode.has_value()))
        return images;

    const auto* app = reinterpret_cast<const juce::uint8*> (EmbeddedResources::KVX1_RCap_syx);
    images.add (new FirmwareUpdate (emergencyMode ? Bytes() : *enterUpdateMode,
                                    Bytes (app, app + EmbeddedResources::KVX1_RCap_syxSize),
                                    port1Name,
                                    "Morelta App"));
    images.add (new FirmwareUpdate (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize, port1Name, "Morelta Assets"));
    return images;
}
