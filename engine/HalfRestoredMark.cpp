#include "engine/HalfRestoredMark.h"

bool HalfRestoredMark::set (const juce::File& backupFolder)
{
    // Written for whoever opens the folder, too.
    return backupFolder.isDirectory()
           && backupFolder.getChildFile (fileName).replaceWithText ("On " + juce::Time::getCurrentTime().toString (true, true)
                                                                    + " the keyboard was left holding only part of this backup: putting it back was cut short.\n"
                                                                      "Backups made after that are of the half-restored keyboard. Put this one back into it.\n");
}

void HalfRestoredMark::clear (const juce::File& backupFolder)
{
    if (backupFolder != juce::File())
        backupFolder.getChildFile (fileName).deleteFile();
}

bool HalfRestoredMark::isSet (const juce::File& backupFolder)
{
    return backupFolder.getChildFile (fileName).existsAsFile();
}

std::optional<BackupFolder> HalfRestoredMark::findNewest (const juce::File& userData, int model)
{
    // Writing the note makes its folder one of the newest, which the search reads.
    return BackupFolder::findNewest (userData, model, isSet);
}
