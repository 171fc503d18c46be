#include "engine/RestorePlan.h"

bool RestorePlan::needsAdaptation (double backupVersion, double keyboardVersion)
{
    return backupVersion < firstVersionWithOwnPresets && keyboardVersion >= firstVersionWithOwnPresets;
}

void RestorePlan::adaptForOldFirmware (std::vector<std::vector<EngineState::Message>>& presets)
{
    for (int i = 0; i < 2 && ! presets.empty(); ++i)
        presets.pop_back();

    // The Preset Select that opens each stream names the place it is written to.
    for (size_t j = 6; j < presets.size(); ++j)
        if (! presets[j].empty() && presets[j].front().size() > 12)
            presets[j].front()[12] = (juce::uint8) (j + 2);
}

std::vector<EngineState::Message> RestorePlan::flatten (const std::vector<std::vector<EngineState::Message>>& presets)
{
    std::vector<EngineState::Message> messages;

    for (auto& preset : presets)
        messages.insert (messages.end(), preset.begin(), preset.end());

    return messages;
}

std::map<int, std::vector<EngineState::Message>> RestorePlan::byPlace (std::vector<std::vector<EngineState::Message>> presets, bool adapt)
{
    if (adapt)
        adaptForOldFirmware (presets);

    std::map<int, std::vector<EngineState::Message>> placed;

    for (auto& stream : presets)
        if (! stream.empty() && stream.front().size() > 12)
            placed[stream.front()[12]] = std::move (stream);

    return placed;
}

juce::String RestorePlan::checkBackupFits (const BackupFolder& backup, int keyboardModel, double keyboardVersion)
{
    const juce::String keyboardName (HardwareModel::nameOf (keyboardModel));

    if (keyboardName.isEmpty() || keyboardVersion <= 0.0)
        return "Connect the keyboard and wait until the window shows its current firmware, then try again. Nothing was sent to the keyboard.";

    if (backup.model != keyboardModel)
        return "This backup is of a " + juce::String (HardwareModel::nameOf (backup.model)) + ", but the keyboard connected is a "
               + keyboardName + ". Nothing was sent to the keyboard.";

    // Presets of new firmware cannot be moved back into the places of old firmware.
    if (keyboardVersion < firstVersionWithOwnPresets && backup.firmwareVersion() >= firstVersionWithOwnPresets)
        return "This backup was made with firmware " + juce::String (backup.firmwareVersion(), 2) + ", but the keyboard runs firmware "
               + juce::String (keyboardVersion, 2) + ". Update the keyboard's firmware first. Nothing was sent to the keyboard.";

    return {};
}
