#include "engine/UpdateStep.h"

#include "engine/SendSysexMessagesWithTimer.h"

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

void UpdateStep::fail (int error, const juce::String& detail)
{
    // A step fails once; what its workers report after that belongs to a run that ends.
    if (std::exchange (ended, true))
        return;

    engine.setErrorDetail (detail);
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

juce::ReferenceCountedObjectPtr<ApplicationEngine::SendSysexMessagesWithTimer> UpdateStep::sendToKeyboard (std::vector<EngineState::Message> messages,
                                                                                                           int pauseMs,
                                                                                                           std::function<void()> then,
                                                                                                           int errorIfRefused)
{
    return new ApplicationEngine::SendSysexMessagesWithTimer (
        midiManager,
        state.port1Name,
        std::move (messages),
        pauseMs,
        ApplicationEngine::SendSysexMessagesWithTimer::Callbacks {
            [this] (double progress)
            { engine.setStatus (state.status, progress); },
            [this, then = std::move (then)]
            { later (then); },
            [this, errorIfRefused]
            { fail (errorIfRefused); } });
}
