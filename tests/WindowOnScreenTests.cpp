// The real window on a real X display. CTest runs this under Xvfb; without a display it
// is skipped.

#include "TestApplication.h"

namespace
{
bool hasDisplay()
{
    return ! juce::Desktop::getInstance().getDisplays().displays.isEmpty();
}

/** Runs a program to its end, bounded in time; true if it ended with exit code 0. */
bool runProgram (const juce::StringArray& command)
{
    juce::ChildProcess process;
    return process.start (command, 0) && process.waitForProcessToFinish (20000) && process.getExitCode() == 0;
}

/** What the X server shows of the window, taken by a program outside this process. */
juce::Image screenshotOf (const juce::String& windowId, const juce::File& file)
{
    file.deleteFile();

    if (! runProgram ({ "import", "-window", windowId, "png:" + file.getFullPathName() }))
        return {};

    return juce::ImageFileFormat::loadFrom (file);
}

int countDifferentPixels (const juce::Image& a, const juce::Image& b)
{
    int different = 0;

    for (int y = 0; y < a.getHeight(); ++y)
        for (int x = 0; x < a.getWidth(); ++x)
            if (a.getPixelAt (x, y).getARGB() != b.getPixelAt (x, y).getARGB())
                ++different;

    return different;
}
} // namespace

TEST (WindowOnScreen, ShowsItsContentAt400By311AndAnyKeyTogglesEmergencyMode)
{
    if (! hasDisplay())
        GTEST_SKIP() << "needs a display; CTest runs this under Xvfb";

    const juce::TemporaryFile commonData, screenshot (".png");
    ASSERT_TRUE (commonData.getFile().createDirectory());

    test::TestApplication app (commonData.getFile());
    app.initialise ({});
    auto* window = app.getMainWindow();
    auto& content = window->getMainComponent();

    ASSERT_TRUE (window->isOnDesktop());
    EXPECT_EQ (window->getContentComponent(), &content);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return window->isShowing() && window->getPeer() != nullptr; }));

    const auto windowId = "0x" + juce::String::toHexString ((juce::pointer_sized_int) window->getWindowHandle());
    const auto contentArea = window->getLocalArea (&content, content.getLocalBounds());
    EXPECT_EQ (contentArea.getWidth(), 400);
    EXPECT_EQ (contentArea.getHeight(), 311);

    // The window paints asynchronously: screenshots are taken until the screen shows what
    // the content paints.
    juce::Image shown;
    int different = -1;

    test::pumpUntil ([&]
                     {
                         const auto shot = screenshotOf (windowId, screenshot.getFile());

                         if (! shot.isValid() || ! shot.getBounds().contains (contentArea))
                             return false;

                         const auto painted = content.createComponentSnapshot (content.getLocalBounds()).convertedToFormat (juce::Image::RGB);
                         shown = shot.getClippedImage (contentArea).convertedToFormat (juce::Image::RGB);
                         different = countDifferentPixels (shown, painted);
                         return different == 0; },
                     20000);

    ASSERT_TRUE (shown.isValid()) << "no screenshot of window " << windowId;
    EXPECT_EQ (shown.getWidth(), 400);
    EXPECT_EQ (shown.getHeight(), 311);
    EXPECT_EQ (different, 0) << "pixels on screen that differ from the content's own painting";

    // No child of the content has the keyboard focus: the window's own key listener must
    // take the key to the content.
    const auto* focused = juce::Component::getCurrentlyFocusedComponent();
    EXPECT_TRUE (focused == nullptr || ! content.isParentOf (focused));

    for (const bool expected : { true, false })
    {
        ASSERT_TRUE (runProgram ({ "xdotool", "key", "--window", windowId, "e" }));
        EXPECT_TRUE (test::pumpUntil ([&]
                                      { return app.isEmergencyMode() == expected; }))
            << "the key did not switch emergency mode " << (expected ? "on" : "off");
        EXPECT_EQ (content.getEmergencyLabel().isVisible(), expected);
    }

    // A click on the button leaves the keyboard focus where it was: Return then toggles
    // emergency mode like any key, rather than pressing the button again.
    const auto button = window->getLocalArea (&content, content.getUpdateButton().getBounds()).getCentre();
    ASSERT_TRUE (runProgram ({ "xdotool", "mousemove", "--window", windowId, juce::String (button.x), juce::String (button.y), "click", "1" }));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return app.warnings.size() == 1; }))
        << "the click did not reach the button"; // no keyboard: the update cannot start
    ASSERT_TRUE (runProgram ({ "xdotool", "key", "--window", windowId, "Return" }));
    EXPECT_TRUE (test::pumpUntil ([&]
                                  { return app.isEmergencyMode(); }));
    EXPECT_EQ (app.warnings.size(), 1u);

    app.shutdown();
}
