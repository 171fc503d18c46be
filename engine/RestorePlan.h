#pragma once

#include "engine/BackupFolder.h"

#include <map>

/** What goes back into the keyboard when its user data is restored, after an update or
    from a backup folder, and whether it may.

    Firmware from 1.16 on keeps presets of its own at places 6 and 7, so presets backed
    up from older firmware move two places up, and the last two of them no longer fit.
*/
class RestorePlan final
{
public:
    static constexpr double firstVersionWithOwnPresets = 1.16;

    /** Whether presets backed up from one firmware must move for the keyboard's; a
        backup whose version is unknown (0.0) counts as old.
    */
    static bool needsAdaptation (double backupVersion, double keyboardVersion);

    /** Drops presets 30 and 31 and moves presets 6 to 29 to places 8 to 31. */
    static void adaptForOldFirmware (std::vector<std::vector<EngineState::Message>>& presets);

    /** The preset streams one after the other. */
    static std::vector<EngineState::Message> flatten (const std::vector<std::vector<EngineState::Message>>& presets);

    /** Each preset stream by the place its Preset Select writes it to, moved first if asked. */
    static std::map<int, std::vector<EngineState::Message>> byPlace (std::vector<std::vector<EngineState::Message>> presets, bool adapt);

    /** Why this backup cannot go into the connected keyboard, in words for its user;
        empty when it can.
    */
    static juce::String checkBackupFits (const BackupFolder& backup, int keyboardModel, double keyboardVersion);

private:
    RestorePlan() = delete;
};
