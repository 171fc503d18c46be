#include "engine/ApplicationEngine.h"

//==============================================================================
class ApplicationEngine::StatusUpdater final : public ListenerUpdater
{
public:
    StatusUpdater (juce::ListenerList<Listener>& l, double p, int s) : listeners (l), progress (p), status (s) {}

    void deliver() override
    {
        listeners.call ([this] (Listener& l) { l.progressChanged (progress); });
        listeners.call ([this] (Listener& l) { l.statusChanged (status); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const double progress;
    const int status;
};

class ApplicationEngine::ErrorUpdater final : public ListenerUpdater
{
public:
    ErrorUpdater (juce::ListenerList<Listener>& l, int c) : listeners (l), code (c) {}
    void deliver() override { listeners.call ([this] (Listener& l) { l.errorOccurred (code); }); }

private:
    juce::ListenerList<Listener>& listeners;
    const int code;
};

class ApplicationEngine::EmergencyModeUpdater final : public ListenerUpdater
{
public:
    EmergencyModeUpdater (juce::ListenerList<Listener>& l, bool f) : listeners (l), flag (f) {}
    void deliver() override { listeners.call ([this] (Listener& l) { l.emergencyModeChanged (flag); }); }

private:
    juce::ListenerList<Listener>& listeners;
    const bool flag;
};

// Model and version are read when delivered, so listeners always see the newest value.
class ApplicationEngine::HardwareModelUpdater final : public ListenerUpdater
{
public:
    HardwareModelUpdater (juce::ListenerList<Listener>& l, const EngineState& s) : listeners (l), state (s) {}
    void deliver() override { listeners.call ([this] (Listener& l) { l.hardwareModelChanged (state.model); }); }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;
};

class ApplicationEngine::FirmwareVersionUpdater final : public ListenerUpdater
{
public:
    FirmwareVersionUpdater (juce::ListenerList<Listener>& l, const EngineState& s) : listeners (l), state (s) {}
    void deliver() override { listeners.call ([this] (Listener& l) { l.firmwareVersionChanged (state.version); }); }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;
};

//==============================================================================
// Reports from worker threads, carried to the message thread with the reset count at the
// time they were made.
struct ApplicationEngine::ErrorReport final : public juce::Message
{
    ErrorReport (int c, juce::uint32 r) : code (c), resetCount (r) {}
    const int code;
    const juce::uint32 resetCount;
};

struct ApplicationEngine::StepCompletion final : public juce::Message
{
    StepCompletion (int s, juce::uint32 r) : status (s), resetCount (r) {}
    const int status;
    const juce::uint32 resetCount;
};

//==============================================================================
ApplicationEngine::ApplicationEngine (MidiManager::Ptr manager)
    : midiManager (std::move (manager))
{
    // Messages are posted to this listener from worker threads; JUCE creates the weak
    // reference behind postMessage lazily, so it is made here, before any worker runs.
    juce::WeakReference<juce::MessageListener> { this };

    // Device detection is created here once it exists; it starts polling at once.
    state = std::make_unique<EngineState>();
}

ApplicationEngine::~ApplicationEngine()
{
    // Workers (senders, restore, backup steps, detection) are dropped here, before the
    // state they write into.
    state.reset();
    midiManager = nullptr;
}

void ApplicationEngine::addListener (Listener* listener)
{
    JUCE_ASSERT_MESSAGE_THREAD
    if (listener != nullptr)
        listeners.add (listener);
}

bool ApplicationEngine::isBusy() const noexcept
{
    const int s = state->status;
    return s != EngineStatus::idle && s != EngineStatus::completed;
}

void ApplicationEngine::setEmergencyMode (bool shouldBeOn)
{
    state->emergencyMode = shouldBeOn;
    queueUpdate (new EmergencyModeUpdater (listeners, shouldBeOn), juce::sendNotificationAsync);
}

void ApplicationEngine::setStatus (int newStatus, double newProgress)
{
    state->status = newStatus;
    state->progress = newProgress;
    queueUpdate (new StatusUpdater (listeners, newProgress, newStatus), juce::sendNotificationAsync);
}

void ApplicationEngine::notifyModelAndVersion()
{
    queueUpdate (new HardwareModelUpdater (listeners, *state), juce::sendNotificationAsync);
    queueUpdate (new FirmwareVersionUpdater (listeners, *state), juce::sendNotificationAsync);
}

void ApplicationEngine::postStepMessage()
{
    postMessage (new juce::Message());
}

//==============================================================================
void ApplicationEngine::reportError (int code)
{
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        stopUpdate (code);
    else
        postMessage (new ErrorReport (code, resetCount.load()));
}

void ApplicationEngine::stopUpdate (int code)
{
    // A running firmware transfer is told to stop here, at its next block.
    queueUpdate (new ErrorUpdater (listeners, code), juce::sendNotificationAsync);
    reset (true);
}

void ApplicationEngine::reset (bool restartDetection)
{
    JUCE_ASSERT_MESSAGE_THREAD
    ++resetCount;

    // The detection object is deleted here and, with restartDetection, created anew.
    juce::ignoreUnused (restartDetection);

    // Firmware senders and images are dropped here; a sender ends its thread as it goes.

    state->globals.clear();
    state->presets.clear();

    // The backup steps are deleted here.

    backupFolder = {};
    setStatus (EngineStatus::idle, 0.0);
}

//==============================================================================
void ApplicationEngine::stepCompleted (int completedStatus)
{
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        completeStep (completedStatus);
    else
        postMessage (new StepCompletion (completedStatus, resetCount.load()));
}

void ApplicationEngine::completeStep (int completedStatus)
{
    // A late report after an error or a reset has no effect.
    if (! isBusy())
        return;

    switch (completedStatus)
    {
        case EngineStatus::backingUpGlobals:
            setStatus (EngineStatus::backingUpPresets, 0.0);
            break;

        case EngineStatus::backingUpPresets:
            // With all 32 presets held, the backup files are written here and the update
            // moves on to erasing the firmware; until then the next preset step follows.
            break;

        case EngineStatus::waitingForReboot:
            setStatus (state->emergencyMode ? EngineStatus::completed : EngineStatus::restoringGlobals, 0.0);
            break;

        case EngineStatus::restoringGlobals:
            setStatus (EngineStatus::restoringPresets, 0.0);
            break;

        case EngineStatus::restoringPresets:
            setStatus (EngineStatus::completed, 0.0);
            break;

        default:
            return;
    }

    postStepMessage();
}

void ApplicationEngine::handleMessage (const juce::Message& message)
{
    if (auto* report = dynamic_cast<const ErrorReport*> (&message))
    {
        if (report->resetCount == resetCount)
            stopUpdate (report->code);
    }
    else if (auto* completion = dynamic_cast<const StepCompletion*> (&message))
    {
        if (completion->resetCount == resetCount)
            completeStep (completion->status);
    }
    else
    {
        handleStepMessage();
    }
}

void ApplicationEngine::handleStepMessage()
{
    // The workers of each status (backup, transfer, restore) are started here as they
    // come; a completed update returns to idle with fresh detection.
    if (state->status == EngineStatus::completed)
        reset (true);
}

//==============================================================================
void ApplicationEngine::progress (FirmwareSysexSender*, double)
{
    // Overall transfer progress is computed here once the senders exist.
}

void ApplicationEngine::status (FirmwareSysexSender*, const juce::String&)
{
    // The senders' "Started", "Completed" and "Device Offline" drive the transfer here.
}
