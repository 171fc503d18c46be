#pragma once

#include "engine/ApplicationEngine.h"

class UpdateRun;

/** One step of a run: the backup, the firmware transfer, the restart and confirmation,
    or the restore. A step owns its workers and its time-outs, shows its share of the
    progress and decides what a lost, returning or renamed port means while it runs.

    Everything a step does happens on the message thread: its workers hand over there
    what they learn on theirs, and only the step writes it into the engine's state.
*/
class UpdateStep
{
public:
    UpdateStep (ApplicationEngine& engine, UpdateRun& run);
    virtual ~UpdateStep();

    virtual void start() = 0;

    /** Output ports that vanished, or came back, while this step runs. */
    virtual void outputsGone (const juce::StringArray&) {}
    virtual void outputsBack (const juce::StringArray&) {}

protected:
    /** Ends the run with this error once the current call has returned, since ending it
        deletes this step; the detail, if any, tells the user what could not be done.
    */
    void fail (int error, const juce::String& detail = {});

    /** Tells the engine that this step is done; the next one starts from a step message. */
    void done();

    /** Runs this on the message thread once the current call has returned, if this step
        still exists: for replacing a worker from inside the worker's own callback.
    */
    void later (std::function<void()> call);

    /** A note in the update's log. */
    void note (const juce::String& text);

    /** Starts sending the user's data to the keyboard's own port alone (another keyboard
        connected meanwhile, or one whose ports were open once, must not get it), showing
        its progress in the current status; then runs this, or fails with this error when
        no port takes a message.
    */
    juce::ReferenceCountedObjectPtr<ApplicationEngine::SendSysexMessagesWithTimer> sendToKeyboard (std::vector<EngineState::Message> messages,
                                                                                                   int pauseMs,
                                                                                                   std::function<void()> then,
                                                                                                   int errorIfRefused);

    ApplicationEngine& engine;
    UpdateRun& run;
    EngineState& state;
    const MidiManager::Ptr midiManager;

private:
    bool ended = false;

    JUCE_DECLARE_WEAK_REFERENCEABLE (UpdateStep)
    JUCE_DECLARE_NON_COPYABLE (UpdateStep)
};
