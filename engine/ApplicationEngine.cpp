#include "engine/ApplicationEngine.h"

#include "engine/DetectDeviceInfo.h"
#include "engine/EmergencyModeUpdater.h"
#include "engine/ErrorUpdater.h"
#include "engine/FirmwareVersionUpdater.h"
#include "engine/HardwareModelUpdater.h"
#include "engine/KeyboardPortNames.h"
#include "engine/RestorePlan.h"
#include "engine/StatusUpdater.h"
#include "engine/UpdateRun.h"
#include "engine/WaitNoticeUpdater.h"
#include "engine/WorkerReport.h"
#include "resources/EmbeddedResources.h"

//==============================================================================
ApplicationEngine::ApplicationEngine (MidiManager::Ptr manager)
    : midiManager (std::move (manager))
    , state (std::make_unique<EngineState>())
    , userDataFolder (juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory))
{
    // Messages are posted to this listener from other threads; JUCE creates the weak
    // reference behind postMessage lazily, so it is made here, before any of them runs.
    juce::WeakReference<juce::MessageListener> { this };

    detection = std::make_unique<DetectDeviceInfo> (midiManager, this);
    midiManager->addListener (this);
}

ApplicationEngine::~ApplicationEngine()
{
    // Every worker goes before the state it writes into.
    midiManager->removeListener (this);
    run.reset();
    detection.reset();
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
    return state->status != EngineStatus::idle && state->status != EngineStatus::completed;
}

void ApplicationEngine::setEmergencyMode (bool shouldBeOn)
{
    JUCE_ASSERT_MESSAGE_THREAD
    state->emergencyMode = shouldBeOn;
    queueUpdate (new EmergencyModeUpdater (listeners, shouldBeOn));

    // Detection stops for good in emergency mode; out of it, the version is read again.
    if (! shouldBeOn && detection != nullptr)
        detection->resumePolling();
}

void ApplicationEngine::setStatus (int newStatus, double newProgress)
{
    JUCE_ASSERT_MESSAGE_THREAD
    state->status = newStatus;
    state->progress = newProgress;
    updateLog.step (newStatus);
    queueUpdate (new StatusUpdater (listeners, newProgress, newStatus));
}

void ApplicationEngine::notifyModelAndVersion()
{
    JUCE_ASSERT_MESSAGE_THREAD
    queueUpdate (new HardwareModelUpdater (listeners, *state));
    queueUpdate (new FirmwareVersionUpdater (listeners, *state));
    startPutBackIfReady();
}

void ApplicationEngine::setWaitNotice (int notice)
{
    if (notice != WaitNotice::none)
        updateLog.note (juce::String ("waiting too long: ") + WaitNotice::nameOf (notice));

    queueUpdate (new WaitNoticeUpdater (listeners, notice));
}

DeviceMessages::ModelCode ApplicationEngine::getModelCode() const
{
    return DeviceMessages::modelCodeFor (state->model, state->port1Name);
}

juce::String ApplicationEngine::getBackupFolder() const
{
    return run != nullptr ? run->getPlan().backupFolder : juce::String();
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
        reportErrorLater (code);
}

void ApplicationEngine::reportErrorLater (int code)
{
    postMessage (new WorkerReport (true, code, resetCount.load()));
}

void ApplicationEngine::stopUpdate (int code)
{
    finishUpdateLog (juce::String ("error: ") + EngineError::nameOf (code));
    retry.reset();

    if (auto plan = run != nullptr ? run->planForTryAgain (*state) : std::nullopt)
        retry = Retry { isEmergency (runKind) ? RunKind::emergencyTriedAgain : RunKind::normalTriedAgain, std::move (*plan) };

    // Cut short in the restore, the keyboard holds part of the user's data.
    if (auto plan = run != nullptr && code != EngineError::backupDataError ? run->planForPutBack (*state) : std::nullopt)
        cutShort.keep (std::move (*plan), updateLog);

    const auto firmwareWentOut = run != nullptr && run->hasStartedTransfer();
    queueUpdate (new ErrorUpdater (listeners, code));
    reset (true);

    // The keyboard may now run no firmware or another: a normal update waits until its
    // version has been read again.
    if (firmwareWentOut)
    {
        state->version = 0.0;
        notifyModelAndVersion();
    }
}

void ApplicationEngine::finishUpdateLog (const juce::String& outcome)
{
    if (run == nullptr || ! updateLog.isActive())
        return;

    updateLog.end (outcome, run->confirmedVersion, midiManager->describePortsForLog());
    updateLog.writeTo (run->folderForLog (userDataFolder, state->model));
}

void ApplicationEngine::reset (bool restartDetection)
{
    JUCE_ASSERT_MESSAGE_THREAD
    detection.reset();

    if (restartDetection)
        detection = std::make_unique<DetectDeviceInfo> (midiManager, this);

    // The run's workers end their threads as they go.
    run.reset();
    state->globals.clear();
    state->presets.clear();

    // Counted once every worker has ended: a report that a worker made while it was
    // being stopped belongs to the work dropped here, and is ignored when it arrives.
    ++resetCount;
    setStatus (EngineStatus::idle, 0.0);
}

//==============================================================================
void ApplicationEngine::stepCompleted (int completedStatus)
{
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        completeStep (completedStatus);
    else
        postMessage (new WorkerReport (false, completedStatus, resetCount.load()));
}

void ApplicationEngine::completeStep (int completedStatus)
{
    // A late report after an error or a reset has no effect.
    if (! isBusy() || run == nullptr || state->status != completedStatus)
        return;

    if (run->finishStep())
        completeRun();

    postStepMessage();
}

void ApplicationEngine::completeRun()
{
    setStatus (EngineStatus::completed, 0.0);

    // What the keyboard said it runs when it came back is its version now.
    if (run->confirmedVersion > 0.0)
    {
        state->version = run->confirmedVersion;
        notifyModelAndVersion();
    }

    finishUpdateLog ("completed");
    retry.reset();

    // The keyboard holds all of the data it was given back: none is left to put back.
    if (! isEmergency (runKind))
        cutShort.putBackWhole (run->getPlan());
}

void ApplicationEngine::putBack()
{
    JUCE_ASSERT_MESSAGE_THREAD
    cutShort.ask();
    startPutBackIfReady();
}

void ApplicationEngine::startPutBackIfReady()
{
    if (auto plan = isBusy() ? std::nullopt : cutShort.takeIfReady (*state, *midiManager))
        beginRun (RunKind::putBack, std::move (*plan), EngineStatus::restoringGlobals, true);
}

void ApplicationEngine::handleMessage (const juce::Message& message)
{
    if (auto* report = dynamic_cast<const WorkerReport*> (&message))
    {
        if (report->resetCount != resetCount)
            return;

        if (report->isError)
            stopUpdate (report->value);
        else
            completeStep (report->value);

        return;
    }

    handleStepMessage();
}

void ApplicationEngine::handleStepMessage()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (run != nullptr)
        run->dropFinishedStep();

    if (state->status == EngineStatus::completed)
        reset (true);
    else if (run != nullptr && isBusy())
        run->startStep();
}

void ApplicationEngine::midiOutputDeviceDisconnected (juce::StringArray names)
{
    if (run != nullptr && run->getStep() != nullptr)
        run->getStep()->outputsGone (names);
}

void ApplicationEngine::midiOutputDeviceReconnected (juce::StringArray names)
{
    if (run != nullptr && run->getStep() != nullptr)
        run->getStep()->outputsBack (names);
}

//==============================================================================
ApplicationEngine::Refusal ApplicationEngine::checkFirmwareMayGo() const
{
    if (isBusy())
        return Refusal::busy;

    if (EmbeddedResources::firmwareIsPlaceholder && midiManager->reachesHardware())
        return Refusal::placeholderFirmware;

    if (KeyboardPortNames::countKeyboards (midiManager->getOutputNames()) > 1)
        return Refusal::severalKeyboards;

    return Refusal::none;
}

ApplicationEngine::Refusal ApplicationEngine::checkUpdateCanStart() const
{
    if (const auto refusal = checkFirmwareMayGo(); refusal != Refusal::none)
        return refusal;

    // Without the version, the presets could not be put back in the right places.
    return ! state->emergencyMode && state->version <= 0.0 ? Refusal::versionUnknown : Refusal::none;
}

void ApplicationEngine::beginRun (RunKind kind, RunPlan plan, int firstStatus, bool notifyFirstStatus)
{
    reset (false);
    retry.reset();
    cutShort.dropAsk();
    errorDetail.clear();
    runKind = kind;
    state->globals = std::move (plan.globals);
    state->presets = std::move (plan.presets);
    run = std::make_unique<UpdateRun> (*this, kind, std::move (plan));

    if (notifyFirstStatus)
        setStatus (firstStatus, 0.0);
    else
        state->status = firstStatus;

    postStepMessage();
}

bool ApplicationEngine::beginUpdate()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (checkUpdateCanStart() != Refusal::none)
        return false;

    const auto emergency = state->emergencyMode;
    RunPlan plan;
    plan.model = state->model;
    plan.versionBefore = state->version;
    plan.adaptPresets = RestorePlan::needsAdaptation (state->version, FirmwareUpdate::embeddedVersion);

    updateLog.begin (emergency, state->model, state->version);
    beginRun (emergency ? RunKind::emergency : RunKind::normal,
              std::move (plan),
              emergency ? EngineStatus::startingEmergencyUpdate : EngineStatus::backingUpGlobals,
              false);
    return true;
}

juce::String ApplicationEngine::checkBackupRestore (const BackupFolder& backup) const
{
    if (isBusy())
        return "An update is running. Nothing was sent to the keyboard.";

    if (KeyboardPortNames::countKeyboards (midiManager->getOutputNames()) > 1)
        return "More than one MORELTA keyboard is connected. Connect only the keyboard the backup is for. Nothing was sent to the keyboard.";

    const auto connected = state->port1Name.isNotEmpty() && midiManager->isMidiOutputOpen (state->port1Name);
    return RestorePlan::checkBackupFits (backup, connected ? state->model : (int) HardwareModel::unknown, state->version);
}

juce::String ApplicationEngine::beginBackupRestore (const BackupFolder& backup)
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (auto problem = checkBackupRestore (backup); problem.isNotEmpty())
        return problem;

    RunPlan plan;
    plan.model = state->model;
    plan.versionBefore = state->version;
    plan.adaptPresets = RestorePlan::needsAdaptation (backup.firmwareVersion(), state->version);
    plan.globals = backup.globals;
    plan.presets = backup.presets;
    plan.restoredFrom = backup.folder.getFullPathName();
    beginRun (RunKind::backupRestore, std::move (plan), EngineStatus::restoringGlobals, true);
    return {};
}

ApplicationEngine::Refusal ApplicationEngine::checkTryAgain() const
{
    if (const auto refusal = checkFirmwareMayGo(); refusal != Refusal::none)
        return refusal;

    if (! retry.has_value())
        return Refusal::nothingToTryAgain;

    // The firmware goes to the keyboard that failed; one of another model is not it.
    const auto found = KeyboardPortNames::find (midiManager->getInputNames(), midiManager->getOutputNames());

    if (found.has_value() && KeyboardPortNames::modelOf (found->port1.toUpperCase()) != retry->plan.model)
        return Refusal::otherKeyboard;

    return Refusal::none;
}

ApplicationEngine::Refusal ApplicationEngine::tryAgain()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (const auto refusal = checkTryAgain(); refusal != Refusal::none)
        return refusal;

    // The presets go back as the firmware the keyboard had before the update needs, as
    // the failed update would have put them.
    auto again = std::move (*retry);

    if (again.plan.backupFolder.isNotEmpty())
        lastBackupFolder = again.plan.backupFolder;

    // A normal update tried again puts the user data back, whatever was switched since.
    if (again.kind == RunKind::normalTriedAgain && state->emergencyMode)
        setEmergencyMode (false);

    updateLog.again (again.plan.tries);

    // The keyboard is in its update mode, or comes back in it: no backup, no entry first.
    beginRun (again.kind, std::move (again.plan), EngineStatus::startingEmergencyUpdate, false);
    return Refusal::none;
}
