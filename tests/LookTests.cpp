#include "TestHelpers.h"
#include "platform/FontSubstitutingLook.h"
#include "resources/EmbeddedResources.h"
#include "ui/CustomLook.h"
#include "ui/ProgressDisplayWithBackground.h"

#include <gtest/gtest.h>

namespace
{
constexpr int barWidth = 354;
constexpr int barHeight = 32;

const juce::uint32 topRed = 0xFFC51530;
const juce::uint32 upperRed = 0xFFCB294F;

// Gradients are interpolated from a lookup table, so a row is only close to its stop.
constexpr int gradientTolerance = 8;

bool isRed (juce::Colour c)
{
    return c.getAlpha() >= 200 && c.getRed() >= 0x90 && c.getGreen() <= 0x40 && c.getBlue() <= 0x60;
}

bool isWhitish (juce::Colour c)
{
    return c.getAlpha() >= 200 && c.getRed() >= 200 && c.getGreen() >= 200 && c.getBlue() >= 200;
}

bool isClose (juce::Colour actual, juce::uint32 expected, int tolerance)
{
    const juce::Colour e (expected);
    return std::abs (actual.getAlpha() - e.getAlpha()) <= tolerance
           && std::abs (actual.getRed() - e.getRed()) <= tolerance
           && std::abs (actual.getGreen() - e.getGreen()) <= tolerance
           && std::abs (actual.getBlue() - e.getBlue()) <= tolerance;
}

juce::String describe (juce::Colour c)
{
    return c.toDisplayString (true);
}

/** The smallest rectangle holding every pixel the predicate accepts; empty if none. */
juce::Rectangle<int> boundsOf (const juce::Image& image, const std::function<bool (juce::Colour)>& accept)
{
    int left = image.getWidth(), top = image.getHeight(), right = -1, bottom = -1;

    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (accept (image.getPixelAt (x, y)))
            {
                left = juce::jmin (left, x);
                top = juce::jmin (top, y);
                right = juce::jmax (right, x);
                bottom = juce::jmax (bottom, y);
            }

    return right < 0 ? juce::Rectangle<int>() : juce::Rectangle<int>::leftTopRightBottom (left, top, right + 1, bottom + 1);
}

int countPixels (const juce::Image& image, const std::function<bool (juce::Colour)>& accept)
{
    int count = 0;

    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (accept (image.getPixelAt (x, y)))
                ++count;

    return count;
}

juce::Image frameImage()
{
    return juce::ImageCache::getFromMemory (EmbeddedResources::MoreltaFirmwareUpdater_ProgressBar_png,
                                            EmbeddedResources::MoreltaFirmwareUpdater_ProgressBar_pngSize);
}

//==============================================================================
class CustomLookTest : public ::testing::Test
{
protected:
    CustomLookTest()
    {
        // The look paints over whatever the bar's background is; transparent keeps the
        // fill and the text alone in the picture.
        bar.setColour (juce::ProgressBar::backgroundColourId, juce::Colour (0x00000000));
    }

    juce::Image draw (double progress, const juce::String& text = {}, int width = barWidth, int height = barHeight)
    {
        juce::Image image (juce::Image::ARGB, width, height, true);
        juce::Graphics g (image);
        look.drawProgressBar (g, bar, width, height, progress, text);
        return image;
    }

    /** The text as the bar should write it: white, 0.6 of the height, centred, cut short
        rather than ended with an ellipsis.
    */
    static juce::Image referenceText (const juce::String& text, int width, int height, bool ellipsis = false)
    {
        juce::Image image (juce::Image::ARGB, width, height, true);
        juce::Graphics g (image);
        g.setColour (juce::Colours::white);
        g.setFont (juce::Font ((float) height * 0.6f));
        g.drawText (text, 0, 0, width, height, juce::Justification::centred, ellipsis);
        return image;
    }

    const FontSubstitutingLook::ScopedDefault fonts;
    CustomLook look;
    double barValue = 0.0;
    juce::ProgressBar bar { barValue };
};
} // namespace

TEST_F (CustomLookTest, FillsOnePixelInsideTheEdgesInProportionToTheProgress)
{
    struct Case
    {
        double progress;
        int lastFilledColumn;
    };

    // 352 pixels between the margins: half is 176 wide, a quarter 88, all of it 352.
    for (const auto c : { Case { 0.25, 88 }, Case { 0.5, 176 }, Case { 1.0, 352 } })
    {
        SCOPED_TRACE ("progress " + juce::String (c.progress).toStdString());
        const auto image = draw (c.progress);

        for (int y = 0; y < barHeight; ++y)
            for (int x = 0; x < barWidth; ++x)
            {
                const auto pixel = image.getPixelAt (x, y);
                const bool inside = x >= 1 && x <= c.lastFilledColumn && y >= 1 && y <= barHeight - 2;

                if (inside)
                    ASSERT_TRUE (isRed (pixel) && pixel.getAlpha() == 255) << "unfilled at " << x << "," << y << ": " << describe (pixel);
                else
                    ASSERT_EQ (pixel.getAlpha(), 0) << "filled at " << x << "," << y << ": " << describe (pixel);
            }
    }
}

TEST_F (CustomLookTest, DrawsNoFillAtZeroOrOutsideZeroToOne)
{
    for (const auto progress : { 0.0, -0.5, -1.0, 1.0001, 1.5 })
    {
        SCOPED_TRACE ("progress " + juce::String (progress).toStdString());
        const auto image = draw (progress);
        EXPECT_EQ (countPixels (image, [] (juce::Colour c)
                                { return c.getAlpha() != 0; }),
                   0);
    }
}

TEST_F (CustomLookTest, FillShadesFromTheTopRedThroughTheUpperRed)
{
    for (const auto height : { barHeight, 64 })
    {
        SCOPED_TRACE ("height " + juce::String (height).toStdString());
        const auto image = draw (1.0, {}, barWidth, height);
        const auto upperRow = (int) (height * 0.3);

        for (const auto x : { 1, 100, barWidth - 2 })
        {
            EXPECT_TRUE (isClose (image.getPixelAt (x, 1), topRed, gradientTolerance)) << describe (image.getPixelAt (x, 1));
            EXPECT_TRUE (isClose (image.getPixelAt (x, upperRow), upperRed, gradientTolerance)) << describe (image.getPixelAt (x, upperRow));

            // The shade depends on the row alone.
            for (int y = 1; y < height - 1; ++y)
                ASSERT_EQ (image.getPixelAt (x, y).getARGB(), image.getPixelAt (1, y).getARGB()) << x << "," << y;
        }

        // Lighter on the way down to 30%: the green and blue rise from the top red's.
        EXPECT_LT (image.getPixelAt (10, 1).getBlue(), image.getPixelAt (10, upperRow).getBlue());
    }
}

// The darkest red is added as a second stop at the very end, after the gradient's own end
// colour, so no row reaches it: from 30 % down the fill keeps the upper red.
TEST_F (CustomLookTest, FillKeepsTheUpperRedDownToTheLastRow)
{
    for (const auto height : { barHeight, 64 })
    {
        SCOPED_TRACE ("height " + juce::String (height).toStdString());
        const auto image = draw (1.0, {}, barWidth, height);

        for (int y = (int) std::ceil (height * 0.3) + 1; y <= height - 2; ++y)
            EXPECT_TRUE (isClose (image.getPixelAt (10, y), upperRed, 8)) << "row " << y << " " << describe (image.getPixelAt (10, y));
    }
}

TEST_F (CustomLookTest, FillsTheWholeBarWithItsBackgroundColourFirst)
{
    const juce::uint32 blue = 0xFF1020E0;
    bar.setColour (juce::ProgressBar::backgroundColourId, juce::Colour (blue));

    const auto half = draw (0.5);

    for (const auto& p : { juce::Point<int> (0, 0), { barWidth - 1, barHeight - 1 }, { 0, 16 }, { 100, 0 }, { 100, barHeight - 1 }, { 177, 16 }, { 300, 10 } })
        EXPECT_EQ (half.getPixelAt (p.x, p.y).getARGB(), blue) << p.toString();

    EXPECT_TRUE (isRed (half.getPixelAt (100, 16)));

    const auto beyond = draw (1.5);
    EXPECT_EQ (countPixels (beyond, [blue] (juce::Colour c)
                            { return c.getARGB() != blue; }),
               0);
}

TEST_F (CustomLookTest, WritesTheTextInWhiteOverTheFillOrWithoutOne)
{
    const auto isText = [] (juce::Colour c)
    { return isWhitish (c); };

    EXPECT_EQ (countPixels (draw (0.5), isText), 0);
    EXPECT_EQ (countPixels (draw (0.5, ""), isText), 0);

    for (const auto progress : { 0.5, 0.0, 1.0, -0.5, 1.5 })
    {
        SCOPED_TRACE ("progress " + juce::String (progress).toStdString());
        const auto image = draw (progress, "50%");
        const auto textArea = boundsOf (image, isText);

        EXPECT_GT (countPixels (image, isText), 20);
        EXPECT_TRUE (juce::Rectangle<int> (barWidth / 2 - 40, 4, 80, barHeight - 8).contains (textArea)) << textArea.toString();

        if (progress <= 0.0 || progress > 1.0)
        {
            EXPECT_EQ (countPixels (image, isRed), 0);
        }
    }
}

TEST_F (CustomLookTest, TextIsSixTenthsOfTheBarHighAndCentred)
{
    const auto opaque = [] (juce::Colour c)
    { return c.getAlpha() > 128; };

    for (const auto height : { barHeight, 20, 50 })
    {
        SCOPED_TRACE ("height " + juce::String (height).toStdString());

        // At zero nothing lies under the text, so it compares with text drawn alone.
        const auto image = draw (0.0, "100%", barWidth, height);
        const auto expected = referenceText ("100%", barWidth, height);
        const auto actualArea = boundsOf (image, opaque);
        const auto expectedArea = boundsOf (expected, opaque);

        ASSERT_FALSE (expectedArea.isEmpty());
        EXPECT_LE (std::abs (actualArea.getX() - expectedArea.getX()), 1) << actualArea.toString() << " vs " << expectedArea.toString();
        EXPECT_LE (std::abs (actualArea.getY() - expectedArea.getY()), 1) << actualArea.toString() << " vs " << expectedArea.toString();
        EXPECT_LE (std::abs (actualArea.getWidth() - expectedArea.getWidth()), 1) << actualArea.toString() << " vs " << expectedArea.toString();
        EXPECT_LE (std::abs (actualArea.getHeight() - expectedArea.getHeight()), 1) << actualArea.toString() << " vs " << expectedArea.toString();

        // Centred both ways.
        EXPECT_LE (std::abs (actualArea.getCentreX() - barWidth / 2), 2) << actualArea.toString();
        EXPECT_LE (std::abs (actualArea.getCentreY() - height / 2), 2) << actualArea.toString();
    }
}

TEST_F (CustomLookTest, TextTooLongForTheBarIsCutWithoutAnEllipsis)
{
    const juce::String text ("Sending assets firmware to the keyboard");
    constexpr int width = 90;

    const auto image = draw (0.0, text, width, barHeight);
    const auto withoutEllipsis = referenceText (text, width, barHeight, false);
    const auto withEllipsis = referenceText (text, width, barHeight, true);

    // The two ways of cutting the text must look different for the comparison to mean anything.
    ASSERT_GT (countPixels (withoutEllipsis, [] (juce::Colour c)
                            { return c.getAlpha() > 0; }),
               0);

    int differencesFromCut = 0, differencesFromEllipsis = 0;

    for (int y = 0; y < barHeight; ++y)
        for (int x = 0; x < width; ++x)
        {
            const auto pixel = image.getPixelAt (x, y).getARGB();
            differencesFromCut += pixel != withoutEllipsis.getPixelAt (x, y).getARGB() ? 1 : 0;
            differencesFromEllipsis += pixel != withEllipsis.getPixelAt (x, y).getARGB() ? 1 : 0;
        }

    EXPECT_EQ (differencesFromCut, 0);
    EXPECT_GT (differencesFromEllipsis, 0);
}

//==============================================================================
namespace
{
class ProgressDisplayTest : public ::testing::Test
{
protected:
    ProgressDisplayTest()
    {
        display.setSize (360, 32);
        display.setLookAndFeel (&look);
    }

    ~ProgressDisplayTest() override { display.setLookAndFeel (nullptr); }

    juce::Image snapshot() { return display.createComponentSnapshot (display.getLocalBounds(), true, 1.0f); }

    /** Where the frame leaves the bar visible. */
    bool seeThrough (int x, int y) const { return frame.getPixelAt (x, y).getAlpha() == 0; }

    /** Checks every see-through pixel of the display: red inside the fill, nothing red
        outside it. Rows clear of the percentage text are checked for the fill too.
    */
    void expectFillUpTo (const juce::Image& image, int lastRedColumn)
    {
        int checked = 0;

        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
            {
                if (! seeThrough (x, y))
                    continue;

                const auto pixel = image.getPixelAt (x, y);
                const bool shouldBeRed = x >= 2 && x <= lastRedColumn && y >= 1 && y <= 30;
                const bool clearOfText = y <= 4 || y >= 27;

                if (shouldBeRed && clearOfText)
                {
                    ++checked;
                    ASSERT_TRUE (isRed (pixel)) << "unfilled at " << x << "," << y << ": " << describe (pixel);
                }
                else if (! shouldBeRed)
                {
                    ASSERT_FALSE (isRed (pixel)) << "filled at " << x << "," << y << ": " << describe (pixel);
                }
            }

        if (lastRedColumn >= 2)
        {
            EXPECT_GT (checked, 0);
        }
    }

    bool showsRedAt (int x, int y) { return isRed (snapshot().getPixelAt (x, y)); }

    const FontSubstitutingLook::ScopedDefault fonts;
    CustomLook look;
    const juce::Image frame = frameImage();
    ProgressDisplayWithBackground display { { frame, {} } };
};
} // namespace

TEST_F (ProgressDisplayTest, PutsTheBarUnderTheFrameAndBindsItToProgress)
{
    ASSERT_TRUE (frame.isValid());
    ASSERT_EQ (frame.getBounds(), juce::Rectangle<int> (0, 0, 360, 32));

    auto& bar = display.getProgressBar();
    auto& frameComponent = display.getFrame();

    EXPECT_EQ (display.getNumChildComponents(), 2);
    EXPECT_EQ (bar.getParentComponent(), &display);
    EXPECT_EQ (frameComponent.getParentComponent(), &display);
    EXPECT_EQ (bar.getBounds(), juce::Rectangle<int> (1, 0, 354, 32));
    EXPECT_EQ (frameComponent.getBounds(), juce::Rectangle<int> (0, 0, 360, 32));
    EXPECT_TRUE (bar.isVisible());
    EXPECT_TRUE (frameComponent.isVisible());
    EXPECT_TRUE (frameComponent.getImage() == frame);

    // Later children are drawn above earlier ones.
    EXPECT_GT (display.getIndexOfChildComponent (&frameComponent), display.getIndexOfChildComponent (&bar));

    EXPECT_EQ (bar.findColour (juce::ProgressBar::backgroundColourId).getARGB(), 0x00000000u);
    EXPECT_EQ (display.progress, 0.0);
}

TEST_F (ProgressDisplayTest, WithoutAPictureTheBarHasNoSize)
{
    ProgressDisplayWithBackground empty { {} };
    EXPECT_EQ (empty.getProgressBar().getWidth(), 0);
    EXPECT_EQ (empty.getProgressBar().getHeight(), 0);
}

TEST_F (ProgressDisplayTest, ShowsTheProgressInsideTheFrame)
{
    // The frame is a border one pixel wide around a see-through inside.
    ASSERT_FALSE (seeThrough (0, 10));
    ASSERT_TRUE (seeThrough (1, 10));
    ASSERT_TRUE (seeThrough (354, 10));

    {
        SCOPED_TRACE ("progress 0");
        test::pumpFor (40);
        expectFillUpTo (snapshot(), 0);
    }

    {
        SCOPED_TRACE ("progress 0.5");
        display.progress = 0.5;
        ASSERT_TRUE (test::pumpUntil ([this]
                                      { return showsRedAt (2 + 176 - 1, 2); }));
        expectFillUpTo (snapshot(), 2 + 176 - 1);
    }

    {
        SCOPED_TRACE ("progress 1");
        display.progress = 1.0;
        ASSERT_TRUE (test::pumpUntil ([this]
                                      { return showsRedAt (353, 2); }));
        expectFillUpTo (snapshot(), 353);

        // The frame's border is drawn as it is, above everything.
        const auto image = snapshot();

        for (const auto& p : { juce::Point<int> (0, 0), { 0, 15 }, { 100, 0 }, { 100, 31 }, { 359, 15 } })
            EXPECT_EQ (image.getPixelAt (p.x, p.y).getARGB(), frame.getPixelAt (p.x, p.y).getARGB()) << p.toString();
    }

    {
        SCOPED_TRACE ("back to 0");
        display.progress = 0.0;
        ASSERT_TRUE (test::pumpUntil ([this]
                                      { return ! showsRedAt (2, 2); }));
        expectFillUpTo (snapshot(), 0);
    }
}
