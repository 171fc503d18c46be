#include "engine/UpdateRun.h"

#include "engine/BackupStep.h"
#include "engine/RestartStep.h"
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
    }

    return {};
}
