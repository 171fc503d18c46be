#pragma once

#include "ui/ScaledImage.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** An image button of three pictures (normal, under the mouse, pressed), each drawn for
    the display's scale, with no overlay colour, fully opaque and hit anywhere in its
    bounds. Sized to the 1x pictures, which the ImageButton's getters give.
*/
class ScaledImageButton final : public juce::ImageButton
{
public:
    ScaledImageButton (const ScaledImage& normal, const ScaledImage& over, const ScaledImage& down);

    void paintButton (juce::Graphics& g, bool shouldDrawButtonAsHighlighted, bool shouldDrawButtonAsDown) override;

private:
    const ScaledImage normal, over, down;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScaledImageButton)
};
