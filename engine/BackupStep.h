#pragma once

#include "engine/RetrieveAllGlobals.h"
#include "engine/RetrievePreset.h"
#include "engine/UpdateStep.h"

/** Reads the keyboard's 14 global settings and its 32 presets into the engine's state,
    writes them into a backup folder of their own and reads that back: nothing goes to
    the keyboard after this unless the backup on disk holds exactly what it held.
*/
class BackupStep final : public UpdateStep
{
public:
    using UpdateStep::UpdateStep;
    ~BackupStep() override;

    void start() override;

private:
    void globalReceived (const EngineState::Message& reply);
    void readPreset (int index);
    void presetRead (EngineState::Preset stream);
    void save();

    DeviceMessages::ModelCode modelCode;
    juce::File folder;
    std::vector<juce::uint8> idsReceived;
    std::unique_ptr<ApplicationEngine::RetrieveAllGlobals> globals;
    std::unique_ptr<ApplicationEngine::RetrievePreset> preset;
};
