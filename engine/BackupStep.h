#pragma once

#include "engine/UpdateStep.h"
#include "engine/UserDataReader.h"

/** Reads the keyboard's 14 global settings and its 32 presets into the engine's state,
    writes them into a backup folder of their own and reads that back: nothing goes to
    the keyboard after this unless the backup on disk holds exactly what it held.

    A part that does not come whole is read again until two reads agree; one that never
    does ends the run before anything is sent to the keyboard.
*/
class BackupStep final : public UpdateStep
{
public:
    using UpdateStep::UpdateStep;
    ~BackupStep() override;

    void start() override;
    void outputsGone (const juce::StringArray& names) override;

private:
    void save();

    juce::File folder;
    std::unique_ptr<UserDataReader> reader;
};
