#pragma once

#include "engine/RunPlan.h"
#include "engine/UpdateLog.h"
#include "midi/MidiManager.h"

/** The user's data of a restore that was cut short, or whose check failed: the keyboard
    holds only part of it. Kept for as long as the updater runs, with its backup folder
    marked, and put back once the user asks and the keyboard it belongs to is there.

    Message thread only.
*/
class RestoreCutShort final
{
public:
    /** Keeps this run's data, and marks its backup folder. */
    void keep (RunPlan plan, UpdateLog& log);

    /** A run put all of its data back: its folder is unmarked and nothing is kept. */
    void putBackWhole (const RunPlan& run);

    bool isKept() const noexcept { return plan.has_value(); }
    juce::String getFolder() const { return plan.has_value() ? plan->dataFolder() : juce::String(); }

    /** The user asked for it to go back; another run started instead. */
    void ask() noexcept { asked = plan.has_value(); }
    void dropAsk() noexcept { asked = false; }

    /** What to put back now: asked for, and the keyboard of its model connected alone with
        its version read.
    */
    std::optional<RunPlan> takeIfReady (const EngineState& state, MidiManager& midiManager);

private:
    std::optional<RunPlan> plan;
    bool asked = false;
};
