#pragma once

#include "engine/RunPlan.h"
#include "engine/UpdateStep.h"
#include "platform/ScopedSystemAwake.h"
#include "platform/ScopedTimerResolution.h"

/** One run of the engine, from the button that starts it to its end: the steps its
    kind is made of, read top to bottom, and what it carries from one step to the next.
*/
class UpdateRun final
{
public:
    enum class Step
    {
        backup,   // the keyboard's global settings and presets, into memory and into files
        transfer, // the keyboard into its update mode, both images into the keyboard
        restart,  // the keyboard back with the new firmware, and saying so
        restore,  // the user's settings and presets back into the keyboard
        check     // what was put back, read back and mended until the keyboard holds it
    };

    /** The steps of each kind of run, in order. */
    static std::vector<Step> stepsOf (RunKind kind)
    {
        switch (kind)
        {
            case RunKind::normal:
                return { Step::backup, Step::transfer, Step::restart, Step::restore, Step::check };
            case RunKind::emergency:
            case RunKind::emergencyTriedAgain:
                return { Step::transfer, Step::restart };
            case RunKind::normalTriedAgain:
                return { Step::transfer, Step::restart, Step::restore, Step::check };
            case RunKind::backupRestore:
            case RunKind::putBack:
                return { Step::restore, Step::check };
            case RunKind::none:
                break;
        }

        return {};
    }

    UpdateRun (ApplicationEngine& engine, RunKind kind, RunPlan plan);
    ~UpdateRun();

    /** Starts the step the run stands at, unless one runs; message thread. */
    void startStep();

    /** The running step is done: the run moves to the next, entering its status, or
        returns true when that was its last.
    */
    bool finishStep();

    /** Deletes the step that finished, from the step message that follows. */
    void dropFinishedStep() { finished.reset(); }

    UpdateStep* getStep() const noexcept { return step.get(); }
    RunPlan& getPlan() noexcept { return plan; }

    /** From the moment the transfer starts, a failure can be tried again. */
    void transferStarted() noexcept { transferBegun = true; }
    bool hasStartedTransfer() const noexcept { return transferBegun; }

    /** What a try again of this run starts from, if it failed once its transfer had
        started and before the keyboard ran the new firmware; its user data from the state.
    */
    std::optional<RunPlan> planForTryAgain (const EngineState& state) const;

    /** What a put back of this run starts from, if it failed while putting the user's data
        back or checking it: the keyboard then holds only part of it.
    */
    std::optional<RunPlan> planForPutBack (const EngineState& state) const;

    /** Where this run's update log goes: its backup folder, or for a run that made none
        a folder of its own under the model's, where each try of it goes too.
    */
    juce::File folderForLog (const juce::File& userData, int model);

    /** While the keyboard is in its update mode under other names: its own first port. */
    juce::String ownPort;

    /** What the keyboard said it runs after the restart; 0.0 until then. */
    double confirmedVersion = 0.0;

private:
    std::unique_ptr<UpdateStep> makeStep (Step kind);

    ApplicationEngine& engine;
    const std::vector<Step> steps;
    RunPlan plan;
    size_t position = 0;
    std::unique_ptr<UpdateStep> step, finished;
    bool transferBegun = false;

    // Held from the start of the run to its end: its pauses keep their length while the
    // window is hidden, and the system does not sleep under it.
    ScopedTimerResolution timerResolution;
    ScopedSystemAwake systemAwake;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateRun)
};
