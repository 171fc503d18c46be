#include "engine/BackupStep.h"

#include "engine/BackupFolder.h"
#include "engine/UpdateRun.h"

#include <numeric>

BackupStep::~BackupStep()
{
    reader.reset();
}

void BackupStep::start()
{
    state.globals.clear();
    state.presets.clear();
    engine.setStatus (EngineStatus::backingUpGlobals, 0.0);

    std::vector<int> places (DeviceMessages::numPresets);
    std::iota (places.begin(), places.end(), 0);

    // The requests go to every open output, as detection found the keyboard's.
    reader = std::make_unique<UserDataReader> (
        midiManager,
        juce::String(),
        engine.getModelCode(),
        std::move (places),
        UserDataReader::Callbacks {
            [this] (bool presets, double progress)
            { engine.setStatus (presets ? EngineStatus::backingUpPresets : EngineStatus::backingUpGlobals, progress); },
            [this] (UserDataReader::Messages globals, std::map<int, EngineState::Preset> presets)
            {
                state.globals = std::move (globals);

                for (auto& [place, stream] : presets)
                    state.presets.push_back (std::move (stream));

                later ([this]
                       {
                           reader.reset();
                           save(); }); },
            // Nothing has been sent to the keyboard but requests: it is as it was.
            [this] (int error, juce::String detail)
            { fail (error, detail); },
            [this] (juce::String text)
            { note (text); } });

    if (! reader->start())
        return;

    // Each update backs up into a folder of its own, made now so that the window can
    // name it while the backup runs.
    folder = BackupFolder::createNew (engine.getUserDataFolder(), state.model, juce::Time::getCurrentTime());
    run.getPlan().backupFolder = folder.getFullPathName();

    if (folder == juce::File())
        fail (EngineError::backupDataError);
}

void BackupStep::outputsGone (const juce::StringArray& names)
{
    if (names.contains (state.port1Name) && reader != nullptr)
        reader->keyboardGone();
}

void BackupStep::save()
{
    // The keyboard is erased next, and then these files and the copies in memory are all
    // the user has: they must read back as exactly what the keyboard sent.
    const BackupFolder::Manifest manifest { state.model, state.version, juce::Time::getCurrentTime(), MORELTA_UPDATER_VERSION };
    juce::String problem;

    if (! BackupFolder::write (folder, state.globals, state.presets, manifest))
        problem = "it could not be written";
    else if (const auto readBack = BackupFolder::read (folder, problem); readBack.has_value() && (readBack->globals != state.globals || readBack->presets != state.presets))
        problem = "it does not read back as the keyboard's data";

    if (problem.isNotEmpty())
    {
        note ("the backup in " + folder.getFullPathName() + " failed: " + problem);
        fail (EngineError::backupDataError);
        return;
    }

    engine.setLastBackupFolder (folder.getFullPathName());
    done();
}
