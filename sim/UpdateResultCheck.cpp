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

} // namespace

juce::String UpdateResultCheck::checkBackupFiles (const juce::File& folder, const SimulatedKeyboard::UserData& data, juce::uint8 code)
{
    const auto files = UpdateResultCheck::backupFilesOf (data, code);

    if (fileBytes (folder.getChildFile ("Globals.syx")) != files[0])
        return "Globals.syx does not hold the keyboard's global settings";

    for (int p = 0; p < 32; ++p)
        if (fileBytes (folder.getChildFile ("Preset_" + juce::String (p) + ".syx")) != files[(size_t) p + 1])
            return "Preset_" + juce::String (p) + ".syx does not hold the keyboard's preset";

    return {};
}

namespace
{
/** The keyboard's user data as the backup files hold it, read with the keyboard's own
    idea of the messages: a global's value at bytes 9 to 12, a preset's payload at bytes
    10 to 14 of each Preset Data.
*/
std::optional<SimulatedKeyboard::UserData> readBackup (const juce::File& folder)
{
    SimulatedKeyboard::UserData data;
    const auto globals = fileBytes (folder.getChildFile ("Globals.syx"));

    if (globals.size() != 14 * 14)
        return {};

    for (size_t i = 0; i < globals.size(); i += 14)
        std::copy (globals.begin() + (long) i + 9, globals.begin() + (long) i + 13, data.globals[globals[i + 8]].begin());

    for (int p = 0; p < 32; ++p)
    {
        const auto file = fileBytes (folder.getChildFile ("Preset_" + juce::String (p) + ".syx"));

        if (file.size() != 14 + 384 * 16 + 9)
            return {};

        auto& preset = data.presets.emplace_back();

        for (size_t m = 0; m < 384; ++m)
            preset.insert (preset.end(), file.begin() + 14 + (long) m * 16 + 10, file.begin() + 14 + (long) m * 16 + 15);
    }

    return data;
}
} // namespace

std::vector<std::vector<juce::uint8>> UpdateResultCheck::backupFilesOf (const SimulatedKeyboard::UserData& data, juce::uint8 code)
{
    // In the order the keyboard answers the requests.
    const int ids[] = { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };
    std::vector<Bytes> files (1);

    for (auto id : ids)
    {
        const auto& v = data.globals.at (id);
        files[0].insert (files[0].end(), { 0xF0, 0x47, 0x00, code, 0x04, 0x02, 0x00, 0x05, (juce::uint8) id, v[0], v[1], v[2], v[3], 0xF7 });
    }

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
        files.push_back (std::move (preset));
    }

    return files;
}

bool UpdateResultCheck::writeBackupFolder (const juce::File& folder, const SimulatedKeyboard::UserData& data, juce::uint8 code, double firmwareVersion)
{
    const juce::StringArray models { "MORELTA49", "MORELTA25", "MORELTA61" }; // by code 0x2E, 0x2F, 0x30
    const auto files = backupFilesOf (data, code);
    auto ok = folder.createDirectory().wasOk();

    for (size_t i = 0; i < files.size(); ++i)
        ok = ok && folder.getChildFile (i == 0 ? juce::String ("Globals.syx") : "Preset_" + juce::String ((int) i - 1) + ".syx").replaceWithData (files[i].data(), files[i].size());

    return ok && folder.getChildFile ("Manifest.json").replaceWithText (R"({"model": ")" + models[code - 0x2E] + R"(", "firmwareVersion": ")" + juce::String (firmwareVersion, 2) + R"(", "time": "2026-12-01T10:00:00.000Z", "updaterVersion": "1.0.10"})");
}

juce::String UpdateResultCheck::checkBackupRestored (const SimulatedKeyboard& keyboard, const juce::File& backupFolder, const SimulatedKeyboard::UserData& before)
{
    const auto backup = readBackup (backupFolder);

    if (! backup.has_value())
        return "the backup files cannot be read";

    const auto backupVersion = juce::JSON::parse (backupFolder.getChildFile ("Manifest.json").loadFileAsString())["firmwareVersion"].toString().getDoubleValue();
    const auto moved = backupVersion < 1.16 && keyboard.getFirmwareVersion() >= 1.16;
    const auto now = keyboard.getUserData();

    if (now.globals != backup->globals)
        return "the keyboard's global settings are not those of the backup";

    for (size_t place = 0; place < 32; ++place)
    {
        const auto& expected = ! moved || place < 6 ? backup->presets[place]
                               : place < 8          ? before.presets[place]
                                                    : backup->presets[place - 2];

        if (now.presets[place] != expected)
            return "preset place " + juce::String ((int) place) + " does not hold what the restore must leave there";
    }

    return {};
}

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
