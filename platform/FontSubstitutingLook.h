#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The application's default look: JUCE's stock look, except that a typeface the window
    asks for by its Windows name and that this machine lacks is drawn with a
    metric-compatible one (Arial with Liberation Sans), so texts keep their widths and line
    breaks. Where the named typeface is installed, as on Windows, nothing changes.

    JUCE resolves every font through the default look, whichever look a component uses, so
    this has to be the default.
*/
class FontSubstitutingLook final : public juce::LookAndFeel_V4
{
public:
    /** The typeface this machine draws for the given name. */
    static juce::String substituteFor (const juce::String& typefaceName);

    juce::Typeface::Ptr getTypefaceForFont (const juce::Font& font) override;

    /** Makes a look of this kind the default while it lives, then gives the default
        back to the look it replaced. Message thread.
    */
    class ScopedDefault final
    {
    public:
        ScopedDefault();
        ~ScopedDefault();

    private:
        juce::WeakReference<juce::LookAndFeel> previous;
        std::unique_ptr<FontSubstitutingLook> look;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ScopedDefault)
    };
};
