#pragma once

#include "ui/ScaledImage.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** An image component that draws the picture drawn for the display's scale: its 1x
    picture is what getImage() gives and what sets its size.
*/
class ScaledImageComponent final : public juce::ImageComponent
{
public:
    explicit ScaledImageComponent (const ScaledImage& picture);

    void paint (juce::Graphics& g) override;

private:
    ScaledImage picture;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScaledImageComponent)
};
