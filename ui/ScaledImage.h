#pragma once

#include <juce_graphics/juce_graphics.h>

/** One of the window's pictures as the artwork drew it at 1x and at 2x. The window is
    laid out in 1x units; drawing on a display of a higher scale takes the 2x picture, so
    that the artwork is as crisp as the text beside it.
*/
struct ScaledImage
{
    juce::Image normal, doubled;

    /** The embedded picture of this name ("IvraLogo"), at both scales. */
    static ScaledImage named (const juce::String& pictureName);

    /** The picture to draw where one unit is this many physical pixels: 2x above 1,
        which JUCE then draws scaled down where the display's scale is under 2.
    */
    const juce::Image& forScale (float physicalPixelsPerUnit) const
    {
        return physicalPixelsPerUnit > 1.0f && doubled.isValid() ? doubled : normal;
    }

    /** The one for the scale that the context draws at. */
    const juce::Image& forContext (juce::Graphics& g) const
    {
        return forScale (g.getInternalContext().getPhysicalPixelScaleFactor());
    }
};
