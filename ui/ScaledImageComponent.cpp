#include "ui/ScaledImageComponent.h"

ScaledImageComponent::ScaledImageComponent (const ScaledImage& p)
    : picture (p)
{
    setImage (picture.normal);
    setSize (picture.normal.getWidth(), picture.normal.getHeight());
}

void ScaledImageComponent::paint (juce::Graphics& g)
{
    g.setOpacity (1.0f);
    g.drawImage (picture.forContext (g), getLocalBounds().toFloat(), getImagePlacement());
}
