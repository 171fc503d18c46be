// Draws our own artwork for the updater's window, with JUCE's graphics, at the sizes the
// window is laid out for and at each display scale asked for (1 and 2 unless told), and
// writes each picture as an 8-bit RGBA PNG: "Name.png" at 1x, "Name_2x.png" at 2x. The
// window takes the one that fits its display. The results are committed under
// resources/artwork, so that builds do not depend on fonts; run this tool (the
// regenerate_artwork target) to make them again. Also writes the Windows icon.
//
//   artwork_generator OUTPUT_FOLDER WINDOWS_ICON_FILE [SCALE ...]

#include <juce_events/juce_events.h>
#include <juce_graphics/juce_graphics.h>

#include <functional>
#include <iostream>

namespace
{
const juce::Colour red (0xffe0262b);
const juce::Colour lightGrey (0xffc8c8c8);

juce::Font boldFont (float height)
{
    return juce::Font ("Liberation Sans", height, juce::Font::bold);
}

bool writePng (const juce::Image& image, const juce::File& file)
{
    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat png;
    return ! out.failedToOpen() && png.writeImageToStream (image, out) && out.getStatus().wasOk();
}

juce::Image blank (int w, int h)
{
    return juce::Image (juce::Image::ARGB, w, h, true);
}

/** The product's name in white over the words FIRMWARE UPDATE in red. */
void drawLockup (juce::Graphics& g, juce::Rectangle<float> area, const juce::String& productName)
{
    g.setColour (juce::Colours::white);
    g.setFont (boldFont (area.getHeight() * 0.58f));
    g.drawText (productName, area.removeFromTop (area.getHeight() * 0.62f), juce::Justification::bottomLeft, false);
    g.setColour (red);
    g.setFont (boldFont (area.getHeight() * 0.82f).withExtraKerningFactor (0.12f));
    g.drawText ("FIRMWARE UPDATE", area, juce::Justification::topLeft, false);
}

/** A picture laid out in the window's units, drawn at any scale of them. */
struct Picture
{
    int width, height;
    std::function<void (juce::Graphics&, float scale)> draw;

    juce::Image render (float scale) const
    {
        auto image = blank (juce::roundToInt ((float) width * scale), juce::roundToInt ((float) height * scale));
        juce::Graphics g (image);
        g.addTransform (juce::AffineTransform::scale (scale));
        draw (g, scale);
        return image;
    }
};

void drawMakerLogo (juce::Graphics& g)
{
    g.setColour (juce::Colours::white);
    g.fillRoundedRectangle (0.5f, 0.5f, 22.0f, 22.0f, 4.0f);
    g.setColour (juce::Colours::black);
    g.setFont (boldFont (19.0f));
    g.drawText ("I", juce::Rectangle<float> (0.5f, 0.5f, 22.0f, 22.0f), juce::Justification::centred, false);
    g.setColour (juce::Colours::white);
    g.setFont (boldFont (19.0f).withExtraKerningFactor (0.08f));
    g.drawText ("IVRA", juce::Rectangle<float> (27.0f, 0.0f, 52.0f, 23.0f), juce::Justification::centredLeft, false);
}

const Picture makerLogo { 79, 23, [] (juce::Graphics& g, float)
                          { drawMakerLogo (g); } };

/** A keyboard of so many keys, seen from above, filling the area. */
void drawKeyboard (juce::Graphics& g, juce::Rectangle<float> area, int keys)
{
    // Every model starts on C and ends on C: 7 white keys an octave, plus the top C.
    const auto whiteKeys = (keys - 1) / 12 * 7 + 1;
    auto body = area;
    g.setColour (juce::Colour (0xff2a2a2e));
    g.fillRoundedRectangle (body, 6.0f);

    auto panel = body.removeFromTop (body.getHeight() * 0.3f).reduced (10.0f, 6.0f);
    g.setColour (juce::Colour (0xff4a4a50));

    for (int knob = 0; knob < 8; ++knob)
        g.fillEllipse (panel.getX() + (float) knob * 15.0f, panel.getY() + 4.0f, 10.0f, 10.0f);

    g.setColour (juce::Colour (0xff101014));
    g.fillRect (panel.removeFromRight (panel.getWidth() * 0.3f).reduced (2.0f, 4.0f));

    auto keyBed = body.reduced (6.0f, 4.0f);
    const auto keyWidth = keyBed.getWidth() / (float) whiteKeys;

    for (int i = 0; i < whiteKeys; ++i)
    {
        g.setColour (juce::Colours::white);
        g.fillRect (keyBed.getX() + (float) i * keyWidth + 0.5f, keyBed.getY(), keyWidth - 1.0f, keyBed.getHeight());
    }

    // Black keys sit after the 1st, 2nd, 4th, 5th and 6th white key of each octave.
    g.setColour (juce::Colours::black);

    for (int i = 0; i < whiteKeys - 1; ++i)
    {
        const auto inOctave = i % 7;

        if (inOctave == 2 || inOctave == 6)
            continue;

        const auto x = keyBed.getX() + (float) (i + 1) * keyWidth - keyWidth * 0.3f;
        g.fillRect (x, keyBed.getY(), keyWidth * 0.6f, keyBed.getHeight() * 0.6f);
    }
}

void drawBackground (juce::Graphics& g, float scale, int keys)
{
    g.fillAll (juce::Colours::black);

    const auto width = keys == 25 ? 220.0f : (keys == 49 ? 320.0f : 370.0f);
    const juce::Rectangle<float> keyboardArea ((400.0f - width) / 2.0f, 110.0f, width, 120.0f);
    drawKeyboard (g, keyboardArea, keys);

    // The window writes its notice, the progress bar's percentage and the versions in white
    // over the keyboard: dimmed, it leaves them legible.
    g.setColour (juce::Colours::black.withAlpha (0.65f));
    g.fillRoundedRectangle (keyboardArea, 6.0f);

    drawLockup (g, juce::Rectangle<float> (20.0f, 10.0f, 358.0f, 77.0f), "MORELTA" + juce::String (keys));

    // The logo as its own picture is drawn, placed pixel for pixel at every scale: the
    // window shows the two side by side, and they must not differ.
    g.drawImageTransformed (makerLogo.render (scale), juce::AffineTransform::scale (1.0f / scale).translated (20.0f, 270.0f));
}

void drawUpdateButton (juce::Graphics& g, juce::Colour shade)
{
    const auto area = juce::Rectangle<float> (0.0f, 0.0f, 212.0f, 56.0f).reduced (1.0f);
    g.setGradientFill (juce::ColourGradient (shade.brighter (0.15f), 0.0f, 0.0f, shade.darker (0.2f), 0.0f, 56.0f, false));
    g.fillRoundedRectangle (area, 10.0f);
    g.setColour (shade.darker (0.5f));
    g.drawRoundedRectangle (area, 10.0f, 1.5f);
    g.setColour (juce::Colours::white);
    g.setFont (boldFont (21.0f));
    g.drawText ("UPDATE FIRMWARE", area, juce::Justification::centred, false);
}

juce::Image icon (int size)
{
    auto image = blank (size, size);
    juce::Graphics g (image);
    const auto s = (float) size;
    g.setColour (juce::Colour (0xff18181c));
    g.fillRoundedRectangle (0.0f, 0.0f, s, s, s * 0.18f);
    drawKeyboard (g, juce::Rectangle<float> (s * 0.1f, s * 0.42f, s * 0.8f, s * 0.42f), 25);
    g.setColour (red);
    juce::Path arrow;
    arrow.addArrow (juce::Line<float> (s * 0.5f, s * 0.08f, s * 0.5f, s * 0.38f), s * 0.09f, s * 0.22f, s * 0.14f);
    g.fillPath (arrow);
    return image;
}

/** A Windows icon file of PNG-compressed 32-bit images, 16 to 256 pixels. */
bool writeIco (const juce::File& file)
{
    juce::MemoryOutputStream entries, images;
    const int sizes[] = { 16, 32, 48, 256 };
    const int headerSize = 6 + 16 * (int) std::size (sizes);

    for (auto size : sizes)
    {
        juce::MemoryOutputStream png;
        juce::PNGImageFormat().writeImageToStream (icon (size), png);

        entries.writeByte ((char) (size == 256 ? 0 : size));
        entries.writeByte ((char) (size == 256 ? 0 : size));
        entries.writeByte (0);
        entries.writeByte (0);
        entries.writeShort (1);
        entries.writeShort (32);
        entries.writeInt ((int) png.getDataSize());
        entries.writeInt (headerSize + (int) images.getDataSize());
        images << png.getMemoryBlock();
    }

    juce::MemoryOutputStream ico;
    ico.writeShort (0);
    ico.writeShort (1);
    ico.writeShort ((short) std::size (sizes));
    ico << entries.getMemoryBlock() << images.getMemoryBlock();
    return file.replaceWithData (ico.getData(), ico.getDataSize());
}
} // namespace

int main (int argc, char** argv)
{
    if (argc < 3)
    {
        std::cerr << "usage: " << argv[0] << " OUTPUT_FOLDER WINDOWS_ICON_FILE [SCALE ...]\n";
        return 2;
    }

    std::vector<float> scales;

    for (int i = 3; i < argc; ++i)
        scales.push_back (juce::String (argv[i]).getFloatValue());

    if (scales.empty())
        scales = { 1.0f, 2.0f };

    if (std::any_of (scales.begin(), scales.end(), [] (float s)
                     { return s <= 0.0f || s > 8.0f; }))
    {
        std::cerr << "a scale is a number above 0 and up to 8\n";
        return 2;
    }

    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const auto folder = juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]);
    folder.createDirectory();

    const auto background = [] (int keys)
    {
        return Picture { 400, 311, [keys] (juce::Graphics& g, float scale)
                         { drawBackground (g, scale, keys); } };
    };

    const auto updateButton = [] (juce::Colour shade)
    {
        return Picture { 212, 56, [shade] (juce::Graphics& g, float)
                         { drawUpdateButton (g, shade); } };
    };

    const std::pair<const char*, Picture> pictures[] = {
        { "MoreltaLockup", { 358, 77, [] (juce::Graphics& g, float)
                             { drawLockup (g, { 0.0f, 0.0f, 358.0f, 77.0f }, "MORELTA"); } } },
        { "IvraLogo", makerLogo },
        { "MoreltaFirmwareUpdater_Background_25", background (25) },
        { "MoreltaFirmwareUpdater_Background_49", background (49) },
        { "MoreltaFirmwareUpdater_Background_61", background (61) },
        { "MoreltaFirmwareUpdater_ProgressBar", { 360, 32, [] (juce::Graphics& g, float)
                                                  {
                                                      g.setColour (lightGrey);
                                                      g.drawRect (0, 0, 360, 32, 1);
                                                  } } },
        { "MoreltaFirmwareUpdater_UpdateButton_Hover", updateButton (juce::Colour (0xff8a8a90)) },
        { "MoreltaFirmwareUpdater_UpdateButton_Normal", updateButton (juce::Colour (0xff6a6a70)) },
        { "MoreltaFirmwareUpdater_UpdateButton_Press", updateButton (juce::Colour (0xff4a4a50)) },
    };

    std::vector<std::pair<juce::String, juce::Image>> files { { "Morelta_FirmwareIcon.png", icon (1024) } };

    for (auto scale : scales)
        for (auto& [name, picture] : pictures)
            files.emplace_back (juce::String (name) + (scale == 1.0f ? "" : "_" + juce::String (scale) + "x") + ".png", picture.render (scale));

    for (auto& [name, image] : files)
    {
        if (! writePng (image, folder.getChildFile (name)))
        {
            std::cerr << "cannot write " << name << "\n";
            return 1;
        }
    }

    if (! writeIco (juce::File::getCurrentWorkingDirectory().getChildFile (argv[2])))
    {
        std::cerr << "cannot write " << argv[2] << "\n";
        return 1;
    }

    return 0;
}
