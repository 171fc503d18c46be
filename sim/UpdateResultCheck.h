#pragma once

#include "sim/SimulatedKeyboard.h"

/** Checks, on the simulated keyboard's side, what an update that reported completion
    left behind.
*/
class UpdateResultCheck final
{
public:
    /** Empty when the keyboard holds exactly the embedded images and, for a normal update,
        the user data the restore must leave, and the backup folder holds what the keyboard
        held before; otherwise what is wrong.
    */
    static juce::String check (const SimulatedKeyboard& keyboard, bool emergencyUpdate, const juce::File& backupFolder);

    /** Empty when the keyboard holds the user data of this backup folder, as a restore
        must leave it: all of it, or, for a backup of firmware before 1.16 put into newer
        firmware, presets 0 to 5 in their places, 6 to 29 two places up, and places 6
        and 7 as they were before; otherwise what is wrong.
    */
    static juce::String checkBackupRestored (const SimulatedKeyboard& keyboard, const juce::File& backupFolder, const SimulatedKeyboard::UserData& before);

    /** Empty when the backup folder holds exactly this user data of a keyboard with this
        model code, as the keyboard itself would write it; otherwise what is wrong.
    */
    static juce::String checkBackupFiles (const juce::File& folder, const SimulatedKeyboard::UserData& data, juce::uint8 modelCode);

    /** Writes a whole backup folder of this user data, as the updater writes one, with a
        manifest that names this firmware version.
    */
    static bool writeBackupFolder (const juce::File& folder, const SimulatedKeyboard::UserData& data, juce::uint8 modelCode, double firmwareVersion);

    /** The bytes of the backup files of this user data, in the keyboard's own account:
        "Globals.syx" first, then "Preset_0.syx" to "Preset_31.syx".
    */
    static std::vector<std::vector<juce::uint8>> backupFilesOf (const SimulatedKeyboard::UserData& data, juce::uint8 modelCode);

private:
    UpdateResultCheck() = delete;
};
