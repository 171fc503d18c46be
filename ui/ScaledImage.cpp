#include "ui/ScaledImage.h"

#include "resources/EmbeddedResources.h"

namespace
{
juce::Image embedded (const juce::String& resourceName)
{
    int size = 0;
    const auto* data = EmbeddedResources::getNamedResource (resourceName.toRawUTF8(), size);
    jassert (data != nullptr);
    return data != nullptr ? juce::ImageCache::getFromMemory (data, size) : juce::Image();
}
} // namespace

ScaledImage ScaledImage::named (const juce::String& pictureName)
{
    return { embedded (pictureName + "_png"), embedded (pictureName + "_2x_png") };
}
