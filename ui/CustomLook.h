#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The window's look: JUCE's stock look with a red gradient progress bar. */
class CustomLook final : public juce::LookAndFeel_V3
{
public:
    CustomLook() = default;

    /** Fills the bar one pixel inside its edges, from the top in the brand's reds, and
        writes the text over it in white at 0.6 of the bar's height. A progress outside
        0..1 draws no fill.
    */
    void drawProgressBar (juce::Graphics& g, juce::ProgressBar& bar, int width, int height, double progress, const juce::String& textToShow) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CustomLook)
};
