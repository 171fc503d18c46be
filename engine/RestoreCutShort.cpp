#include "engine/RestoreCutShort.h"

#include "engine/HalfRestoredMark.h"
#include "engine/KeyboardPortNames.h"

void RestoreCutShort::keep (RunPlan p, UpdateLog& log)
{
    // The folder says so to every later run and offer, in this session or another.
    if (p.dataFolder().isNotEmpty() && ! HalfRestoredMark::set (juce::File (p.dataFolder())))
        log.note ("the backup folder could not be marked as not put back");

    plan = std::move (p);
}

void RestoreCutShort::putBackWhole (const RunPlan& run)
{
    if (run.dataFolder().isNotEmpty())
        HalfRestoredMark::clear (juce::File (run.dataFolder()));

    plan.reset();
    asked = false;
}

std::optional<RunPlan> RestoreCutShort::takeIfReady (const EngineState& state, MidiManager& midiManager)
{
    if (! asked || ! plan.has_value() || state.model != plan->model || state.version <= 0.0
        || KeyboardPortNames::countKeyboards (midiManager.getOutputNames()) != 1 || ! midiManager.isMidiOutputOpen (state.port1Name))
        return {};

    asked = false;
    return std::exchange (plan, std::nullopt);
}
