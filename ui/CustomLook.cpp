#include "ui/CustomLook.h"

void CustomLook::drawProgressBar (juce::Graphics& g, juce::ProgressBar& bar, int width, int height, double progress, const juce::String& textToShow)
{
    g.fillAll (bar.findColour (juce::ProgressBar::backgroundColourId));

    if (progress >= 0.0 && progress <= 1.0)
    {
        const juce::Colour top (0xFFC51530), upper (0xFFCB294F), bottom (0xFF9E0414);

        juce::ColourGradient gradient (top, 0.0f, 0.0f, upper, 0.0f, (float) height, false);
        gradient.addColour (0.0, top);
        gradient.addColour (0.3, upper);
        gradient.addColour (1.0, bottom);
        g.setGradientFill (gradient);

        const auto fillWidth = juce::jlimit (0.0, (double) (width - 2), (width - 2) * progress);
        g.fillRect (juce::Rectangle<float> (1.0f, 1.0f, (float) fillWidth, (float) (height - 2)));
    }

    if (textToShow.isNotEmpty())
    {
        g.setColour (juce::Colour (0xFFFFFFFF));
        g.setFont (g.getCurrentFont().withHeight ((float) height * 0.6f));
        g.drawText (textToShow, 0, 0, width, height, juce::Justification (36), false);
    }
}
