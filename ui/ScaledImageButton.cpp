#include "ui/ScaledImageButton.h"

namespace
{
const juce::Colour noOverlay (0x00FFFFFF);
}

ScaledImageButton::ScaledImageButton (const ScaledImage& n, const ScaledImage& o, const ScaledImage& d)
    : juce::ImageButton (juce::String())
    , normal (n)
    , over (o)
    , down (d)
{
    setImages (true, false, true, normal.normal, 1.0f, noOverlay, over.normal, 1.0f, noOverlay, down.normal, 1.0f, noOverlay, 0.0f);
}

void ScaledImageButton::paintButton (juce::Graphics& g, bool highlighted, bool pressed)
{
    // As ImageButton draws it, with the picture for the display: a disabled button shows
    // its normal picture, as the look dims it.
    if (! isEnabled())
        highlighted = pressed = false;

    const auto& picture = pressed || getToggleState() ? down : (highlighted ? over : normal);
    auto image = picture.forContext (g);
    getLookAndFeel().drawImageButton (g, &image, 0, 0, getWidth(), getHeight(), noOverlay, 1.0f, *this);
}
