#pragma once

#include "engine/EngineState.h"

#include <optional>

/** One backup of the keyboard's user data on disk.

    A folder named by the time it was made, under the folder of its model, holding the
    Global Replies in "Globals.syx" and each preset's stream in "Preset_<n>.syx" (raw
    SysEx, back to back, exactly as the keyboard sent them), and a manifest that says
    what the data came from. Backups made before there were manifests have none.
*/
class BackupFolder final
{
public:
    struct Manifest
    {
        int model = HardwareModel::unknown;
        double firmwareVersion = 0.0; // 0.0 when the keyboard's version was not known
        juce::Time time;
        juce::String updaterVersion;
    };

    static constexpr const char* manifestFileName = "Manifest.json";

    /** The folder that holds the time-stamped backups of a model under the user data
        folder; for an unknown model the folder above those of the models.
    */
    static juce::File modelFolder (const juce::File& userData, int model);

    /** "7 Dec 2026 30620am" for 3:06:20 in the morning of 7 December 2026. */
    static juce::String folderName (juce::Time time);

    /** Makes a new, empty folder for a backup made at this time under the model's folder:
        named by the time, with " (2)", " (3)", ... after it when a folder of that name is
        there already (two updates in the same second, or in the hour that repeats when
        daylight saving time ends). Made in one go, so that no two updaters ever share
        one. Nothing when it cannot be made.
    */
    static juce::File createNew (const juce::File& userData, int model, juce::Time time);

    /** Appends each message to its file, then writes the manifest. Every write is
        checked, since these files may soon be all the user has; false on any failure.
    */
    static bool write (const juce::File& folder,
                       const std::vector<EngineState::Message>& globals,
                       const std::vector<std::vector<EngineState::Message>>& presets,
                       const Manifest& manifest);

    /** Reads a backup and checks every message of it; on any fault, nothing, and why in
        words a user can act on.
    */
    static std::optional<BackupFolder> read (const juce::File& folder, juce::String& problem);

    /** How many of a model's folders the search for the newest backup reads at most. */
    static constexpr int maxFoldersSearched = 100;

    /** The newest backup of this model that reads back whole, if there is one, among the
        newest maxFoldersSearched folders; the others are not looked at. Only folders this
        accepts, if given, are read.
    */
    static std::optional<BackupFolder> findNewest (const juce::File& userData, int model, std::function<bool (const juce::File&)> only = {});

    juce::File folder;
    int model = HardwareModel::unknown; // by the model code its messages carry
    std::optional<Manifest> manifest;
    std::vector<EngineState::Message> globals;
    std::vector<std::vector<EngineState::Message>> presets;

    /** The keyboard's firmware version when the backup was made; 0.0 when unknown. */
    double firmwareVersion() const { return manifest.has_value() ? manifest->firmwareVersion : 0.0; }

    /** When it was made: by its manifest, else by its files. */
    juce::Time time() const;
};
