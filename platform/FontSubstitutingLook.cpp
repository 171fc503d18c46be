#include "platform/FontSubstitutingLook.h"

namespace
{
struct Substitute
{
    const char* windowsName;
    const char* substitute;
};

// Typefaces with the same glyph widths as the Windows ones they stand in for.
const Substitute substitutes[] = { { "Arial", "Liberation Sans" } };
} // namespace

juce::String FontSubstitutingLook::substituteFor (const juce::String& typefaceName)
{
    static const auto installed = juce::Font::findAllTypefaceNames();

    if (installed.contains (typefaceName))
        return typefaceName;

    for (const auto& s : substitutes)
        if (typefaceName == s.windowsName && installed.contains (s.substitute))
            return s.substitute;

    return typefaceName;
}

juce::Typeface::Ptr FontSubstitutingLook::getTypefaceForFont (const juce::Font& font)
{
    const auto name = substituteFor (font.getTypefaceName());

    if (name == font.getTypefaceName())
        return LookAndFeel_V4::getTypefaceForFont (font);

    juce::Font substituted (font);
    substituted.setTypefaceName (name);
    return LookAndFeel_V4::getTypefaceForFont (substituted);
}

FontSubstitutingLook::ScopedDefault::ScopedDefault()
    : previous (&juce::LookAndFeel::getDefaultLookAndFeel())
    , look (std::make_unique<FontSubstitutingLook>())
{
    juce::LookAndFeel::setDefaultLookAndFeel (look.get());

    // A font resolved before this look was the default would stay cached as it was.
    juce::Typeface::clearTypefaceCache();
}

FontSubstitutingLook::ScopedDefault::~ScopedDefault()
{
    juce::LookAndFeel::setDefaultLookAndFeel (previous.get());
    juce::Typeface::clearTypefaceCache();
}
