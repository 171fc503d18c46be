#pragma once

#include "ui/ScaledImageComponent.h"

/** JUCE's progress bar under a framed picture: the frame's transparent inside lets the
    bar show through, and the frame is always drawn above it.
*/
class ProgressDisplayWithBackground final : public juce::Component
{
public:
    /** The bar is 6 pixels narrower than the frame (its 1x picture) and as high. */
    explicit ProgressDisplayWithBackground (const ScaledImage& framePicture);
    ~ProgressDisplayWithBackground() override;

    void resized() override;

    /** 0..1; the bar watches this value on its own timer, so nothing needs calling after a
        write. Message thread only.
    */
    double progress = 0.0;

    juce::ProgressBar& getProgressBar() noexcept { return *progressBar; }
    juce::ImageComponent& getFrame() noexcept { return *frame; }

private:
    std::unique_ptr<juce::ProgressBar> progressBar;
    std::unique_ptr<ScaledImageComponent> frame;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ProgressDisplayWithBackground)
};
