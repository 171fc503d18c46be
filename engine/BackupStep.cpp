#include "engine/BackupStep.h"

#include "engine/BackupFolder.h"
#include "engine/UpdateRun.h"

BackupStep::~BackupStep()
{
    preset.reset();
    globals.reset();
}

void BackupStep::start()
{
    modelCode = engine.getModelCode();
    state.globals.clear();
    state.presets.clear();
    engine.setStatus (EngineStatus::backingUpGlobals, 0.0);

    globals = std::make_unique<ApplicationEngine::RetrieveAllGlobals> (
        midiManager,
        modelCode,
        ApplicationEngine::RetrieveAllGlobals::Callbacks {
            [this] (const EngineState::Message& reply)
            { globalReceived (reply); },
            [this]
            { fail (EngineError::globalsTimeout); } });

    if (! globals->start())
    {
        fail (EngineError::deviceUnavailable);
        return;
    }

    // Each update backs up into a folder of its own, made now so that the window can
    // name it while the backup runs.
    folder = BackupFolder::createNew (engine.getUserDataFolder(), state.model, juce::Time::getCurrentTime());
    run.getPlan().backupFolder = folder.getFullPathName();

    if (folder == juce::File())
        fail (EngineError::backupDataError);
}

void BackupStep::globalReceived (const EngineState::Message& reply)
{
    // Replies after the last one needed belong to no step any more.
    if ((int) idsReceived.size() == DeviceMessages::numGlobals)
        return;

    if (std::find (idsReceived.begin(), idsReceived.end(), reply[8]) == idsReceived.end())
    {
        idsReceived.push_back (reply[8]);
        state.globals.push_back (reply);
    }

    engine.setStatus (EngineStatus::backingUpGlobals, (double) idsReceived.size() / DeviceMessages::numGlobals);

    if ((int) idsReceived.size() < DeviceMessages::numGlobals)
        return;

    globals->finish();
    engine.setStatus (EngineStatus::backingUpPresets, 0.0);
    later ([this]
           {
               globals.reset();
               readPreset (0); });
}

void BackupStep::readPreset (int index)
{
    constexpr double messagesInAllPresets = DeviceMessages::numPresets * (DeviceMessages::presetDataMessages + 1);

    preset.reset();
    preset = std::make_unique<ApplicationEngine::RetrievePreset> (
        midiManager,
        index,
        modelCode,
        ApplicationEngine::RetrievePreset::Callbacks {
            [this, index] (int messages)
            { engine.setStatus (EngineStatus::backingUpPresets, (index * (DeviceMessages::presetDataMessages + 1) + messages) / messagesInAllPresets); },
            [this] (EngineState::Preset stream)
            { presetRead (std::move (stream)); },
            [this]
            { fail (EngineError::presetTimeout); } });

    if (! preset->start())
        fail (EngineError::deviceUnavailable);
}

void BackupStep::presetRead (EngineState::Preset stream)
{
    state.presets.push_back (std::move (stream));
    const auto held = (int) state.presets.size();

    if (held < DeviceMessages::numPresets)
        later ([this, held]
               { readPreset (held); });
    else
        later ([this]
               {
                   preset.reset();
                   save(); });
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
