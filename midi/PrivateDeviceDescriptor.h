#pragma once

#include <juce_core/juce_core.h>

#include <array>

/** Identifies one instance of the maker's private USB MIDI driver; a plain record,
    copied by value.
*/
struct PrivateDeviceDescriptor
{
    using InstanceId = std::array<juce::uint8, 16>;

    char classGuidText[40] = {};
    juce::uint32 keyWord1 = 0;
    juce::uint32 keyWord2 = 0;
    InstanceId instanceId = {};
    juce::uint8 attached = 0; // the "Attached" flag when enumerated

    /** The same driver instance, whatever its attached flag. */
    bool isSameInstance (const PrivateDeviceDescriptor& other) const noexcept
    {
        return std::strcmp (classGuidText, other.classGuidText) == 0 && keyWord1 == other.keyWord1
               && keyWord2 == other.keyWord2 && instanceId == other.instanceId;
    }
};
