#include "ui/ProgressDisplayWithBackground.h"

ProgressDisplayWithBackground::ProgressDisplayWithBackground (const ScaledImage& framePicture)
    : progressBar (std::make_unique<juce::ProgressBar> (progress))
    , frame (std::make_unique<ScaledImageComponent> (framePicture))
{
    const auto& picture = framePicture.normal;
    progressBar->setSize (picture.isValid() ? picture.getWidth() - 6 : 0, picture.getHeight());

    // The look fills the whole bar with this colour first: nothing visible.
    progressBar->setColour (juce::ProgressBar::backgroundColourId, juce::Colour (0x00000000));

    addAndMakeVisible (*frame);
    addAndMakeVisible (*progressBar);
    frame->toFront (false);
}

ProgressDisplayWithBackground::~ProgressDisplayWithBackground()
{
    frame.reset();
    progressBar.reset();
}

void ProgressDisplayWithBackground::resized()
{
    frame->setTopLeftPosition (0, 0);
    progressBar->setTopLeftPosition (1, 0);
}
