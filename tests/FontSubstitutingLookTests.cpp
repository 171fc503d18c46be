#include "platform/FontSubstitutingLook.h"

#include <gtest/gtest.h>

namespace
{
const juce::String sample = "Device not found. Connect keyboard to perform update.";
}

TEST (FontSubstitutingLook, ArialIsDrawnWithLiberationSansWhereArialIsMissing)
{
    if (juce::Font::findAllTypefaceNames().contains ("Arial"))
        GTEST_SKIP() << "this machine has Arial itself";

    ASSERT_TRUE (juce::Font::findAllTypefaceNames().contains ("Liberation Sans")) << "the fonts-liberation package is missing";

    const FontSubstitutingLook::ScopedDefault look;
    const juce::Font arial ("Arial", 12.0f, juce::Font::plain);

    EXPECT_EQ (arial.getTypefaceName(), "Arial");
    EXPECT_EQ (arial.getTypefacePtr()->getName(), "Liberation Sans");
    EXPECT_FLOAT_EQ (arial.getStringWidthFloat (sample), juce::Font ("Liberation Sans", 12.0f, juce::Font::plain).getStringWidthFloat (sample));
    EXPECT_GT (arial.getStringWidthFloat (sample), 0.0f);
}

TEST (FontSubstitutingLook, InstalledAndUnknownNamesAreLeftAsTheyAre)
{
    EXPECT_EQ (FontSubstitutingLook::substituteFor ("Liberation Sans"), "Liberation Sans");
    EXPECT_EQ (FontSubstitutingLook::substituteFor ("DejaVu Sans"), "DejaVu Sans");
    EXPECT_EQ (FontSubstitutingLook::substituteFor ("No Such Typeface"), "No Such Typeface");
}

TEST (FontSubstitutingLook, TheLookItReplacedIsTheDefaultAgainAfterwards)
{
    auto* before = &juce::LookAndFeel::getDefaultLookAndFeel();

    {
        const FontSubstitutingLook::ScopedDefault outer;
        auto* outerLook = &juce::LookAndFeel::getDefaultLookAndFeel();
        EXPECT_NE (dynamic_cast<FontSubstitutingLook*> (outerLook), nullptr);

        {
            const FontSubstitutingLook::ScopedDefault inner;
            EXPECT_NE (&juce::LookAndFeel::getDefaultLookAndFeel(), outerLook);
        }

        EXPECT_EQ (&juce::LookAndFeel::getDefaultLookAndFeel(), outerLook);
    }

    EXPECT_EQ (&juce::LookAndFeel::getDefaultLookAndFeel(), before);
}
