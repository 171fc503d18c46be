#pragma once

#include "engine/BackupFolder.h"

/** A note in a backup folder that the keyboard it was taken from was left holding only
    part of it: a restore of it was cut short, or never held. Until the keyboard holds it
    all again, this backup, not any newer one taken from the half-restored keyboard, is
    the user's data.
*/
class HalfRestoredMark final
{
public:
    static constexpr const char* fileName = "Restore cut short.txt";

    /** False when the note could not be written. */
    static bool set (const juce::File& backupFolder);
    static void clear (const juce::File& backupFolder);
    static bool isSet (const juce::File& backupFolder);

    /** The newest backup of this model that carries the note and reads back whole. */
    static std::optional<BackupFolder> findNewest (const juce::File& userData, int model);

private:
    HalfRestoredMark() = delete;
};
