#include "sim/UpdateResultCheck.h"

#include "resources/EmbeddedResources.h"

namespace
{
using Bytes = std::vector<juce::uint8>;

Bytes bytesOf (const char* data, int size)
{
    return { reinterpret_cast<const juce::uint8*> (data), reinterpret_cast<const juce::uint8*> (data) + size };
}

Bytes fileBytes (const juce::File& f)
{
    juce::MemoryBlock block;
    f.loadFileAsData (block);
    return { (const juce::uint8*) block.getData(), (const juce::uint8*) block.getData() + block.getSize() };
}

/** What the backup files must hold, made from the keyboard's data before the update, in
    the order the keyboard answered.
*/
juce::String checkBackupFiles (const juce::File& folder, const SimulatedKeyboard::UserData& data, juce::uint8 code)
{
    const int ids[] = { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };
    Bytes globals;

    for (auto id : ids)
    {
        const auto& v = data.globals.at (id);
        globals.insert (globals.end(), { 0xF0, 0x47, 0x00, code, 0x04, 0x02, 0x00, 0x05, (juce::uint8) id, v[0], v[1], v[2], v[3], 0xF7 });
    }

    if (fileBytes (folder.getChildFile ("Globals.syx")) != globals)
        return "Globals.syx does not hold the keyboard's global settings";

    for (int p = 0; p < 32; ++p)
    {
        Bytes preset { 0xF0, 0x47, 0x00, code, 0x04, 0x01, 0x00, 0x05, 0x03, 0x40, 0x00, 0x00, (juce::uint8) p, 0xF7 };

        for (int m = 0; m < 384; ++m)
        {
            preset.insert (preset.end(), { 0xF0, 0x47, 0x00, code, 0x04, 0x07, 0x00, 0x07, 0x00, 0x05 });
            preset.insert (preset.end(), data.presets[(size_t) p].begin() + m * 5, data.presets[(size_t) p].begin() + m * 5 + 5);
            preset.push_back (0xF7);
        }

        preset.insert (preset.end(), { 0xF0, 0x47, 0x00, code, 0x04, 0x08, 0x00, 0x00, 0xF7 });

        if (fileBytes (folder.getChildFile ("Preset_" + juce::String (p) + ".syx")) != preset)
            return "Preset_" + juce::String (p) + ".syx does not hold the keyboard's preset";
    }

    return {};
}

} // namespace

juce::String UpdateResultCheck::check (const SimulatedKeyboard& keyboard, bool emergencyUpdate, const juce::File& backupFolder)
{
    if (keyboard.getFlashedImage (FirmwareStreamChecker::Image::app) != bytesOf (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize))
        return "the keyboard does not hold the embedded app image";

    if (keyboard.getFlashedImage (FirmwareStreamChecker::Image::assets) != bytesOf (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize))
        return "the keyboard does not hold the embedded assets image";

    if (emergencyUpdate)
        return {};

    if (const auto restore = keyboard.checkRestore(); restore.isNotEmpty())
        return restore;

    const auto before = keyboard.getUserDataBeforeUpdate();

    if (! before.has_value())
        return "the keyboard never took an update";

    return checkBackupFiles (backupFolder, *before, keyboard.getModelCode());
}
