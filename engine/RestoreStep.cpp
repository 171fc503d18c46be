#include "engine/RestoreStep.h"

#include "engine/RestorePlan.h"
#include "engine/UpdateRun.h"

RestoreStep::~RestoreStep()
{
    // Its thread ends before the step it reports to.
    sender = nullptr;
}

void RestoreStep::start()
{
    // Part of the user data would leave the keyboard with a mix of the user's and the
    // new firmware's, and nobody told: nothing is sent then.
    if ((int) state.globals.size() != DeviceMessages::numGlobals || (int) state.presets.size() != DeviceMessages::numPresets)
    {
        fail (EngineError::backupDataError);
        return;
    }

    send (state.globals, globalsPauseMs, [this]
          { restorePresets(); });
}

void RestoreStep::restorePresets()
{
    engine.setStatus (EngineStatus::restoringPresets, 0.0);
    auto presets = state.presets;

    if (run.getPlan().adaptPresets)
        RestorePlan::adaptForOldFirmware (presets);

    send (RestorePlan::flatten (presets), presetsPauseMs, [this]
          { done(); });
}

void RestoreStep::send (std::vector<EngineState::Message> messages, int pauseMs, std::function<void()> then)
{
    sender = nullptr;
    sender = sendToKeyboard (std::move (messages), pauseMs, std::move (then), EngineError::deviceUnavailable);
}

void RestoreStep::outputsGone (const juce::StringArray& names)
{
    // The keyboard went away with part of its data: what is left is not sent.
    if (names.contains (state.port1Name))
    {
        sender = nullptr;
        fail (EngineError::deviceUnavailable);
    }
}
