#pragma once

#include "engine/EngineState.h"

/** What a run starts from and carries from one step to the next; a run that failed once
    its transfer had started leaves it for a try again.
*/
struct RunPlan
{
    int model = HardwareModel::unknown;
    double versionBefore = 0.0; // the keyboard's firmware before the update; 0.0: unknown
    bool adaptPresets = false;  // the presets go back two places up, for newer firmware
    juce::String backupFolder;  // the run's backup, once made
    juce::String restoredFrom;  // the backup folder a backup restore puts back
    juce::File logFolder;       // where its update log goes when it has no backup
    int tries = 1;

    /** The backup folder that holds the user data this run puts back, if any. */
    juce::String dataFolder() const { return restoredFrom.isNotEmpty() ? restoredFrom : backupFolder; }

    // The user data to put back: held in the engine's state while the run goes on.
    std::vector<EngineState::Message> globals;
    std::vector<EngineState::Preset> presets;
};
