#include "engine/UpdateRun.h"

#include "engine/BackupStep.h"
#include "engine/RestartStep.h"
#include "engine/RestoreCheckStep.h"
#include "engine/RestoreStep.h"
#include "engine/TransferStep.h"

namespace
{
int statusOnEntering (UpdateRun::Step step)
{
    switch (step)
    {
        case UpdateRun::Step::backup:
            return EngineStatus::backingUpGlobals;
        case UpdateRun::Step::transfer:
            return EngineStatus::erasingFirmware;
        case UpdateRun::Step::restart:
            return EngineStatus::waitingForReboot;
        case UpdateRun::Step::restore:
            return EngineStatus::restoringGlobals;
        case UpdateRun::Step::check:
            return EngineStatus::checkingRestore;
    }

    return EngineStatus::idle;
}

TransferStep::Entry entryFor (RunKind kind)
{
    // Tried again, the keyboard usually waits in its update mode, but it may have come
    // back in its old firmware: it is asked first.
    if (kind == RunKind::normal)
        return TransferStep::Entry::enterUpdateMode;

    return kind == RunKind::normalTriedAgain ? TransferStep::Entry::askFirst : TransferStep::Entry::alreadyThere;
}
} // namespace

UpdateRun::UpdateRun (ApplicationEngine& e, RunKind kind, RunPlan p)
    : engine (e)
    , steps (stepsOf (kind))
    , plan (std::move (p))
{
}

UpdateRun::~UpdateRun()
{
    // The steps go before what they use.
    step.reset();
    finished.reset();
}

void UpdateRun::startStep()
{
    if (step != nullptr || position >= steps.size())
        return;

    step = makeStep (steps[position]);
    step->start();
}

bool UpdateRun::finishStep()
{
    finished = std::move (step);

    if (++position >= steps.size())
        return true;

    engine.setStatus (statusOnEntering (steps[position]), 0.0);
    return false;
}

std::optional<RunPlan> UpdateRun::planForTryAgain (const EngineState& state) const
{
    // Failed once the transfer had started: the keyboard usually waits in its update mode,
    // and the user data is still here. A failure in the restore is not one of these: the
    // keyboard runs the new firmware then.
    const auto s = state.status;
    const auto inTransfer = s == EngineStatus::startingEmergencyUpdate || (s >= EngineStatus::erasingFirmware && s <= EngineStatus::waitingForReboot);

    if (! transferBegun || ! inTransfer)
        return {};

    auto next = plan;
    next.globals = state.globals;
    next.presets = state.presets;
    ++next.tries;
    return next;
}

std::optional<RunPlan> UpdateRun::planForPutBack (const EngineState& state) const
{
    const auto s = state.status;

    if (s != EngineStatus::restoringGlobals && s != EngineStatus::restoringPresets && s != EngineStatus::checkingRestore)
        return {};

    auto next = plan;
    next.globals = state.globals;
    next.presets = state.presets;
    return next;
}

juce::File UpdateRun::folderForLog (const juce::File& userData, int model)
{
    if (plan.backupFolder.isNotEmpty())
        plan.logFolder = juce::File (plan.backupFolder);
    else if (plan.logFolder == juce::File())
        plan.logFolder = BackupFolder::modelFolder (userData, model).getChildFile (BackupFolder::folderName (juce::Time::getCurrentTime()));

    return plan.logFolder;
}

std::unique_ptr<UpdateStep> UpdateRun::makeStep (Step kind)
{
    switch (kind)
    {
        case Step::backup:
            return std::make_unique<BackupStep> (engine, *this);
        case Step::transfer:
            return std::make_unique<TransferStep> (engine, *this, entryFor (engine.getRunKind()));
        case Step::restart:
            return std::make_unique<RestartStep> (engine, *this);
        case Step::restore:
            return std::make_unique<RestoreStep> (engine, *this);
        case Step::check:
            return std::make_unique<RestoreCheckStep> (engine, *this);
    }

    return {};
}
