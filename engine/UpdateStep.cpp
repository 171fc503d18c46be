#include "engine/UpdateStep.h"

UpdateStep::UpdateStep (ApplicationEngine& e, UpdateRun& r)
    : engine (e)
    , run (r)
    , state (e.getState())
    , midiManager (&e.getMidiManager())
{
}

UpdateStep::~UpdateStep()
{
    masterReference.clear();
}

void UpdateStep::fail (int error)
{
    // A step fails once; what its workers report after that belongs to a run that ends.
    if (! std::exchange (ended, true))
        engine.reportErrorLater (error);
}

void UpdateStep::done()
{
    if (! std::exchange (ended, true))
        engine.stepCompleted (state.status);
}

void UpdateStep::later (std::function<void()> call)
{
    juce::MessageManager::callAsync ([step = juce::WeakReference<UpdateStep> (this), call = std::move (call)]
                                     {
                                         if (step != nullptr && ! step->ended)
                                             call(); });
}

void UpdateStep::note (const juce::String& text)
{
    engine.getUpdateLog().note (text);
}
