#include "engine/ApplicationEngine.h"

#include "engine/ConfirmNewFirmware.h"
#include "engine/DetectDeviceInfo.h"
#include "engine/EmergencyModeUpdater.h"
#include "engine/ErrorUpdater.h"
#include "engine/FirmwareVersionUpdater.h"
#include "engine/HardwareModelUpdater.h"
#include "engine/RestorePlan.h"
#include "engine/RetrieveAllGlobals.h"
#include "engine/RetrievePreset.h"
#include "engine/SendSysexMessagesWithTimer.h"
#include "engine/StatusUpdater.h"
#include "resources/EmbeddedResources.h"

//==============================================================================
/** A report from a worker thread, carried over to the message thread with the reset
    count at the time it was made, so that one that a reset overtook is dropped there.
*/
struct ApplicationEngine::WorkerReport final : public juce::Message
{
    enum class Kind
    {
        error,
        stepCompleted,
        senderStarted
    };

    WorkerReport (Kind k, int v, juce::uint32 r)
        : kind (k)
        , value (v)
        , resetCount (r)
    {
    }

    const Kind kind;
    const int value; // the error, the completed status, or whether the app image started
    const juce::uint32 resetCount;
};

//==============================================================================
namespace
{
/** Tells every listener that a wait for the keyboard explains itself, or no longer. */
class WaitNoticeUpdater final : public ListenerUpdater
{
public:
    WaitNoticeUpdater (juce::ListenerList<ApplicationEngine::Listener>& l, int n)
        : listeners (l)
        , notice (n)
    {
    }

    void deliver() override
    {
        listeners.call ([this] (ApplicationEngine::Listener& l)
                        { l.waitNoticeChanged (notice); });
    }

private:
    juce::ListenerList<ApplicationEngine::Listener>& listeners;
    const int notice;
};
} // namespace

//==============================================================================
ApplicationEngine::ApplicationEngine (MidiManager::Ptr manager)
    : midiManager (std::move (manager))
    , userDataFolder (juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory))
{
    // Messages are posted to this listener from worker threads; JUCE creates the weak
    // reference behind postMessage lazily, so it is made here, before any worker runs.
    juce::WeakReference<juce::MessageListener> { this };

    state = std::make_unique<EngineState>();
    detection = std::make_unique<DetectDeviceInfo> (midiManager, this);

    portWatch = std::make_unique<UnopenablePortWatch> (
        *midiManager,
        [this]
        {
            const int s = state->status;
            const auto waiting = s == EngineStatus::startingEmergencyUpdate || s == EngineStatus::erasingFirmware || s == EngineStatus::waitingForReboot;
            return waiting ? state->port1Name : juce::String();
        },
        [this]
        { reportError (EngineError::deviceUnavailable); });

    waitWatch = std::make_unique<RestartWaitWatch> (RestartWaitWatch::Callbacks {
        [this]
        { return currentWait(); },
        [this]
        { return midiManager->isMidiOutputAvailable (state->port1Name); },
        [this] (int notice)
        {
            if (notice != WaitNotice::none)
                updateLog.note (juce::String ("waiting too long: ") + WaitNotice::nameOf (notice));

            queueUpdate (new WaitNoticeUpdater (listeners, notice), juce::sendNotificationAsync);
        },
        [this]
        { askWhatTheKeyboardRuns(); },
        [this]
        { followUpdateModeUnderOtherNames(); } });
}

ApplicationEngine::~ApplicationEngine()
{
    // Every worker goes before the state it writes into.
    waitWatch.reset();
    portWatch.reset();
    midiManager->removeListener (this);
    senders.clear();
    firmwareUpdates.clear();
    restoreSender = nullptr;
    confirmation.reset();
    presetRetriever.reset();
    globalsRetriever.reset();
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
    const int s = state->status;
    return s != EngineStatus::idle && s != EngineStatus::completed;
}

void ApplicationEngine::setEmergencyMode (bool shouldBeOn)
{
    state->emergencyMode = shouldBeOn;
    queueUpdate (new EmergencyModeUpdater (listeners, shouldBeOn), juce::sendNotificationAsync);

    // Detection stops for good in emergency mode; out of it, the version is read again.
    if (! shouldBeOn && detection != nullptr && juce::MessageManager::existsAndIsCurrentThread())
        detection->resumePolling();
}

void ApplicationEngine::setStatus (int newStatus, double newProgress)
{
    state->status = newStatus;
    state->progress = newProgress;
    updateLog.step (newStatus);
    queueUpdate (new StatusUpdater (listeners, newProgress, newStatus), juce::sendNotificationAsync);
}

void ApplicationEngine::notifyModelAndVersion()
{
    queueUpdate (new HardwareModelUpdater (listeners, *state), juce::sendNotificationAsync);
    queueUpdate (new FirmwareVersionUpdater (listeners, *state), juce::sendNotificationAsync);
}

DeviceMessages::ModelCode ApplicationEngine::getModelCode() const
{
    return DeviceMessages::modelCodeFor (state->model, state->port1Name);
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
    postMessage (new WorkerReport (WorkerReport::Kind::error, code, resetCount.load()));
}

void ApplicationEngine::stopUpdate (int code)
{
    // A running firmware transfer stops at its next block.
    for (auto* sender : senders)
        sender->requestStop();

    finishUpdateLog (juce::String ("error: ") + EngineError::nameOf (code));

    // Failed once the keyboard was sent on its way to the new firmware: it waits in its
    // update mode, usually, and the user data is still here; the user may try again.
    // A failure in the restore is not one of these: the keyboard runs the new firmware.
    const int s = state->status;
    const auto inTransfer = s == EngineStatus::startingEmergencyUpdate || (s >= EngineStatus::erasingFirmware && s <= EngineStatus::waitingForReboot);

    if (firmwareSent && inTransfer)
    {
        Retry next;

        {
            const juce::ScopedLock sl (state->userDataLock);
            next.globals = state->globals;
            next.presets = state->presets;
        }

        next.versionBefore = tryingAgain && retry.has_value() ? retry->versionBefore : state->version.load();
        next.backupFolder = backupFolder;
        next.logFolder = logFolder;
        next.emergency = transferOnly;
        next.tries = tryingAgain && retry.has_value() ? retry->tries + 1 : 1;
        retry = std::move (next);
    }
    else
    {
        retry.reset();
    }

    queueUpdate (new ErrorUpdater (listeners, code), juce::sendNotificationAsync);
    const auto versionIsStale = firmwareSent;
    reset (true);

    // The keyboard may now run no firmware or another: a normal update waits until its
    // version has been read again.
    if (versionIsStale)
    {
        state->version = 0.0;
        notifyModelAndVersion();
    }
}

void ApplicationEngine::finishUpdateLog (const juce::String& outcome)
{
    if (! updateLog.isActive())
        return;

    updateLog.end (outcome, confirmedVersion, midiManager->describePortsForLog());

    // An emergency update makes no backup, but its log still gets a folder of its own,
    // where each try of it goes too.
    if (backupFolder.isNotEmpty())
        logFolder = juce::File (backupFolder);
    else if (logFolder == juce::File())
        logFolder = BackupFolder::modelFolder (userDataFolder, state->model).getChildFile (BackupFolder::folderName (juce::Time::getCurrentTime()));

    updateLog.writeTo (logFolder);
}

void ApplicationEngine::reset (bool restartDetection)
{
    JUCE_ASSERT_MESSAGE_THREAD
    detection.reset();

    if (restartDetection)
        detection = std::make_unique<DetectDeviceInfo> (midiManager, this);

    // A sender ends its thread as it goes.
    senders.clear();
    firmwareUpdates.clear();

    // The restore worker is kept, as the next restore replaces it, but its thread is
    // ended now: a worker still sending after the reset would set its status again.
    if (restoreSender != nullptr)
        restoreSender->stopSending();

    {
        const juce::ScopedLock sl (state->userDataLock);
        state->globals.clear();
        state->presets.clear();
    }

    globalsRetriever.reset();
    presetRetriever.reset();
    confirmation.reset();
    restoreAdaptation.reset();
    tryingAgain = false;
    transferOnly = false;
    logFolder = juce::File();
    firmwareSent = false;
    confirmedVersion = 0.0;
    outputsBeforeUpdateMode.clear();
    portOutsideUpdateMode.clear();

    // Counted once every worker has ended: a report that a worker made while it was
    // being stopped belongs to the work dropped here, and is ignored when it arrives.
    ++resetCount;

    backupFolder = {};
    updateScope.reset();
    setStatus (EngineStatus::idle, 0.0);
}

//==============================================================================
void ApplicationEngine::stepCompleted (int completedStatus)
{
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        completeStep (completedStatus);
    else
        postMessage (new WorkerReport (WorkerReport::Kind::stepCompleted, completedStatus, resetCount.load()));
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
        {
            size_t held = 0;

            {
                const juce::ScopedLock sl (state->userDataLock);
                held = state->presets.size();
            }

            // Until all 32 are held the next preset step follows. Nothing is erased
            // before every backup file is safely on disk.
            if (held == 32)
            {
                if (! saveBackupFiles())
                    return;

                setStatus (EngineStatus::erasingFirmware, 0.0);
            }

            break;
        }

        case EngineStatus::waitingForReboot:
            setStatus (state->emergencyMode || transferOnly ? EngineStatus::completed : EngineStatus::restoringGlobals, 0.0);
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

    if (state->status == EngineStatus::completed)
    {
        // What the keyboard said it runs when it came back is its version now.
        if (confirmedVersion > 0.0)
        {
            state->version = confirmedVersion.load();
            notifyModelAndVersion();
        }

        finishUpdateLog ("completed");
        retry.reset();
    }

    postStepMessage();
}

void ApplicationEngine::handleMessage (const juce::Message& message)
{
    auto* report = dynamic_cast<const WorkerReport*> (&message);

    if (report == nullptr)
        handleStepMessage();
    else if (report->resetCount != resetCount)
        return;
    else if (report->kind == WorkerReport::Kind::error)
        stopUpdate (report->value);
    else if (report->kind == WorkerReport::Kind::stepCompleted)
        completeStep (report->value);
    else if (isBusy()) // a transfer that an error has already ended must not show as running
        setStatus (report->value != 0 ? EngineStatus::sendingApp : EngineStatus::sendingAssets, state->progress);
}

void ApplicationEngine::handleStepMessage()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (state->status == EngineStatus::startingEmergencyUpdate)
        startFirmwareTransfer();
    else if (state->status == EngineStatus::backingUpGlobals)
        startGlobalsBackup();

    // The status may have changed in the meantime, through an error for instance.
    switch (state->status)
    {
        case EngineStatus::backingUpPresets:
            globalsRetriever.reset();
            startPresetBackup();
            break;

        case EngineStatus::erasingFirmware:
            presetRetriever.reset();
            startFirmwareTransfer();
            break;

        case EngineStatus::restoringGlobals:
            confirmation.reset();
            startGlobalsRestore();
            break;

        case EngineStatus::restoringPresets:
            startPresetsRestore();
            break;

        case EngineStatus::completed:
            reset (true);
            break;

        default:
            break;
    }
}

ApplicationEngine::Refusal ApplicationEngine::checkUpdateCanStart() const
{
    if (isBusy())
        return Refusal::busy;

    if (EmbeddedResources::firmwareIsPlaceholder && midiManager->reachesHardware())
        return Refusal::placeholderFirmware;

    if (DetectDeviceInfo::countKeyboards (midiManager->getOutputNames()) > 1)
        return Refusal::severalKeyboards;

    // Without the version, the presets could not be put back in the right places.
    if (! state->emergencyMode && state->version <= 0.0)
        return Refusal::versionUnknown;

    return Refusal::none;
}

bool ApplicationEngine::beginUpdate()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (checkUpdateCanStart() != Refusal::none)
        return false;

    reset (false);
    retry.reset();
    updateScope = std::make_unique<UpdateScope>();
    const bool emergency = state->emergencyMode;
    transferOnly = emergency;
    updateLog.begin (emergency, state->model, state->version);
    state->status = emergency ? EngineStatus::startingEmergencyUpdate : EngineStatus::backingUpGlobals;
    postStepMessage();
    return true;
}

juce::String ApplicationEngine::checkBackupRestore (const BackupFolder& backup) const
{
    if (isBusy())
        return "An update is running. Nothing was sent to the keyboard.";

    if (DetectDeviceInfo::countKeyboards (midiManager->getOutputNames()) > 1)
        return "More than one MORELTA keyboard is connected. Connect only the keyboard the backup is for. Nothing was sent to the keyboard.";

    const auto connected = state->port1Name.isNotEmpty() && midiManager->getNumOpenOutputs() > 0;
    return RestorePlan::checkBackupFits (backup, connected ? state->model.load() : (int) HardwareModel::unknown, state->version);
}

juce::String ApplicationEngine::beginBackupRestore (const BackupFolder& backup)
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (auto problem = checkBackupRestore (backup); problem.isNotEmpty())
        return problem;

    const auto adapt = RestorePlan::needsAdaptation (backup.firmwareVersion(), state->version);
    reset (false);
    retry.reset();

    {
        const juce::ScopedLock sl (state->userDataLock);
        state->globals = backup.globals;
        state->presets = backup.presets;
    }

    restoreAdaptation = adapt;
    updateScope = std::make_unique<UpdateScope>();
    setStatus (EngineStatus::restoringGlobals, 0.0);
    postStepMessage();
    return {};
}

bool ApplicationEngine::canTryAgain() const
{
    return retry.has_value() && ! isBusy();
}

bool ApplicationEngine::tryAgain()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (! canTryAgain() || (EmbeddedResources::firmwareIsPlaceholder && midiManager->reachesHardware()))
        return false;

    const auto again = *retry;
    reset (false);

    {
        const juce::ScopedLock sl (state->userDataLock);
        state->globals = again.globals;
        state->presets = again.presets;
    }

    // The presets go back as the firmware the keyboard had before the update needs.
    restoreAdaptation = RestorePlan::needsAdaptation (again.versionBefore, FirmwareUpdate::embeddedVersion);
    backupFolder = again.backupFolder;
    logFolder = again.logFolder;
    lastBackupFolder = again.backupFolder.isNotEmpty() ? again.backupFolder : lastBackupFolder;
    tryingAgain = true;
    transferOnly = again.emergency;

    // A normal update tried again puts the user data back, whatever was switched since.
    if (! again.emergency && state->emergencyMode)
        setEmergencyMode (false);

    updateScope = std::make_unique<UpdateScope>();
    updateLog.again (again.tries + 1);

    // As an emergency update: the keyboard is in its update mode, or comes back in it.
    state->status = EngineStatus::startingEmergencyUpdate;
    postStepMessage();
    return true;
}

RestartWaitWatch::Wait ApplicationEngine::currentWait() const
{
    switch (state->status.load())
    {
        case EngineStatus::erasingFirmware:
            return RestartWaitWatch::Wait::updateModeEntry;
        case EngineStatus::waitingForReboot:
            return RestartWaitWatch::Wait::restart;
        case EngineStatus::startingEmergencyUpdate:
            return RestartWaitWatch::Wait::port;
        default:
            return RestartWaitWatch::Wait::none;
    }
}

void ApplicationEngine::askWhatTheKeyboardRuns()
{
    // The port never went away after the firmware: a keyboard that restarted too quickly
    // to be seen answers with the new version; one still in its update mode stays silent.
    if (state->status == EngineStatus::waitingForReboot && confirmation == nullptr)
        confirmation = std::make_unique<ConfirmNewFirmware> (midiManager, this, FirmwareUpdate::embeddedVersion);
}

void ApplicationEngine::followUpdateModeUnderOtherNames()
{
    // Some systems bind another driver to a keyboard in its update mode, which lists it
    // under other names. The first output new since it was told to go there that carries
    // its model's name is the keyboard's, as detection would pick it.
    if (state->status != EngineStatus::erasingFirmware || portOutsideUpdateMode.isNotEmpty() || outputsBeforeUpdateMode.isEmpty()
        || midiManager->isMidiOutputAvailable (state->port1Name))
        return;

    for (auto& name : midiManager->getOutputNames())
    {
        if (outputsBeforeUpdateMode.contains (name) || DetectDeviceInfo::modelFromPortName (name.toUpperCase()) != state->model)
            continue;

        updateLog.note ("the keyboard is in its update mode as \"" + name + "\"");
        portOutsideUpdateMode = state->port1Name;
        state->port1Name = name;
        waitWatch->portCameBack();

        // Its images go there, with no entry message: the keyboard has entered the mode.
        firmwareUpdates = FirmwareUpdate::makeImages (name, true, getModelCode());
        createSenders();
        senders.getFirst()->start();
        return;
    }
}

void ApplicationEngine::firmwareConfirmed (double version)
{
    confirmedVersion = version;
    stepCompleted (EngineStatus::waitingForReboot);
}

void ApplicationEngine::startFirmwareTransfer()
{
    prepareFirmwareUpdates();
    createSenders();
    totalBlocks = 0;

    for (auto* image : firmwareUpdates)
        totalBlocks += (int) image->getBlockCount();

    // Without a keyboard found (or, in a normal update, a model to address it by) there
    // are no images: the update ends here rather than waiting for ever.
    if (senders.size() != 2)
    {
        reportError (EngineError::deviceUnavailable);
        return;
    }

    firmwareSent = true;
    outputsBeforeUpdateMode = firmwareUpdates.getFirst()->getEntryMessage().empty() ? juce::StringArray() : midiManager->getOutputNames();

    // The engine watches the keyboard's ports from the first transfer on. A keyboard
    // lost after the app image's last block and before the assets image's first is seen
    // by neither sender, and the update would wait for ever for a restart that cannot
    // come; outside the two restarts, a vanished port ends the update.
    midiManager->addListener (this);
    senders.getFirst()->start();
}

void ApplicationEngine::prepareFirmwareUpdates()
{
    // Tried again, the keyboard waits in its update mode: no entry message.
    firmwareUpdates = FirmwareUpdate::makeImages (state->port1Name, state->emergencyMode || tryingAgain, getModelCode());
}

void ApplicationEngine::createSenders()
{
    senders.clear();

    for (auto* image : firmwareUpdates)
    {
        auto* sender = senders.add (new FirmwareSysexSender (image, midiManager, this));

        if (tryingAgain)
            sender->startOnlyOnAListedPort();
    }
}

//==============================================================================
void ApplicationEngine::startBackupIfNeeded()
{
    // Each update backs up into a folder of its own, starting empty.
    if (backupFolder.isNotEmpty())
        return;

    buildBackupFolder (juce::Time::getCurrentTime());
    const juce::ScopedLock sl (state->userDataLock);
    state->globals.clear();
    state->presets.clear();
}

void ApplicationEngine::startGlobalsBackup()
{
    startBackupIfNeeded();
    setStatus (EngineStatus::backingUpGlobals, 0.0);

    // The old step goes first, so that two never listen at once. A step that cannot
    // start is owned before the error is reported, so that the reset deletes it.
    globalsRetriever.reset();
    globalsRetriever = std::make_unique<RetrieveAllGlobals> (midiManager, this);

    if (! globalsRetriever->start())
        reportError (EngineError::deviceUnavailable);
}

void ApplicationEngine::startPresetBackup()
{
    startBackupIfNeeded();
    size_t held = 0;

    {
        const juce::ScopedLock sl (state->userDataLock);
        held = state->presets.size();
    }

    presetRetriever.reset();

    if (held >= 32)
        return;

    presetRetriever = std::make_unique<RetrievePreset> (midiManager, this, (int) held, getModelCode());

    if (! presetRetriever->start())
        reportError (EngineError::deviceUnavailable);
}

void ApplicationEngine::startGlobalsRestore()
{
    std::vector<EngineState::Message> messages;

    {
        const juce::ScopedLock sl (state->userDataLock);
        messages = state->globals;
    }

    restoreSender = nullptr;
    restoreSender = new SendSysexMessagesWithTimer (midiManager, std::move (messages), 2, this);
}

void ApplicationEngine::startPresetsRestore()
{
    setStatus (EngineStatus::restoringPresets, 0.0);

    size_t held = 0;

    {
        const juce::ScopedLock sl (state->userDataLock);
        held = state->presets.size();
    }

    // Restoring part of the presets would leave the keyboard with a mix of the user's
    // and the new firmware's presets, and nobody told.
    if (held != 32)
    {
        reportError (EngineError::backupDataError);
        return;
    }

    std::vector<EngineState::Message> messages;

    {
        const juce::ScopedLock sl (state->userDataLock);

        if (restoreAdaptation.value_or (RestorePlan::needsAdaptation (state->version, FirmwareUpdate::embeddedVersion)))
            RestorePlan::adaptForOldFirmware (state->presets);

        messages = RestorePlan::flatten (state->presets);
    }

    restoreSender = nullptr;
    restoreSender = new SendSysexMessagesWithTimer (midiManager, std::move (messages), 3, this);
}

void ApplicationEngine::buildBackupFolder (juce::Time now)
{
    const auto folder = BackupFolder::modelFolder (userDataFolder, state->model).getChildFile (BackupFolder::folderName (now));
    backupFolder = folder.getFullPathName();

    // A failure here shows when the files are written.
    folder.createDirectory();
}

bool ApplicationEngine::saveBackupFiles()
{
    std::vector<EngineState::Message> globals;
    std::vector<std::vector<EngineState::Message>> presets;

    {
        const juce::ScopedLock sl (state->userDataLock);
        globals = state->globals;
        presets = state->presets;
    }

    // The keyboard is erased next, and then these files and the copies in memory are all
    // the user has.
    const juce::File folder (juce::File::isAbsolutePath (backupFolder) ? backupFolder : juce::String());

    if (! BackupFolder::write (folder, globals, presets, { state->model, state->version, juce::Time::getCurrentTime(), MORELTA_UPDATER_VERSION }))
    {
        reportError (EngineError::backupDataError);
        return false;
    }

    lastBackupFolder = backupFolder;
    return true;
}

//==============================================================================
void ApplicationEngine::progress (FirmwareSysexSender*, double)
{
    if (senders.isEmpty() || totalBlocks == 0)
        return;

    // One progress over both images: once the app image is through, it counts in full.
    auto sum = senders.size() == 2 ? 0 : (int) firmwareUpdates.getFirst()->getBlockCount();

    for (auto* sender : senders)
        sum += (int) sender->getBlocksSent();

    setStatus (state->status, (double) sum / (double) totalBlocks);
}

void ApplicationEngine::status (FirmwareSysexSender* sender, const juce::String& text)
{
    if (text == "Started")
    {
        // On the sender's own thread, so it goes by the sender's image rather than by
        // the sender list, which belongs to the message thread; it is carried over there,
        // so that a transfer that an error ended meanwhile does not show as running.
        postMessage (new WorkerReport (WorkerReport::Kind::senderStarted, sender->getImage().getName() == "Morelta App", resetCount.load()));
        return;
    }

    if (text == "Completed")
    {
        senders.removeObject (sender);

        if (state->status == EngineStatus::sendingApp && ! senders.isEmpty())
        {
            senders.getLast()->start();
        }
        else if (state->status == EngineStatus::sendingAssets)
        {
            // With its new firmware the keyboard comes back under its own names.
            if (portOutsideUpdateMode.isNotEmpty())
                state->port1Name = std::exchange (portOutsideUpdateMode, {});

            setStatus (EngineStatus::waitingForReboot, 0.0);
            midiManager->addListener (this);
        }
    }
    else if (text == "Device Offline")
    {
        reportError (EngineError::deviceUnavailable);
    }
}

void ApplicationEngine::midiOutputDeviceDisconnected (juce::StringArray names)
{
    if (names.contains (state->port1Name))
        waitWatch->portWentAway();

    // The keyboard restarts while its firmware is erased and after the new one is in.
    const int s = state->status;

    // A transfer tried again right after a failed send may hear only now that the port
    // went: its app image waits for the port to come back before its first block. Before
    // its transfer is made there is no sender at all. Once the app image is through, the
    // assets sender has sent nothing either, but a port lost then is a loss.
    auto waitingToSend = s == EngineStatus::startingEmergencyUpdate;

    if (senders.size() == 2 && s == EngineStatus::sendingApp)
        waitingToSend = senders.getFirst()->getBlocksSent() == 0;

    // The keyboard restarts as soon as it has the assets image's last block, and the poll
    // may tell of it before that sender's own news that it is through: the restart, not a
    // loss. A last block that did not go out is reported by its sender.
    const auto* last = senders.getLast().get();
    const auto restarting = s == EngineStatus::sendingAssets && last != nullptr && last->hasReachedTheLastBlock();

    if (isBusy() && s != EngineStatus::erasingFirmware && s != EngineStatus::waitingForReboot && ! waitingToSend && ! restarting)
        reportError (EngineError::deviceUnavailable);
}

void ApplicationEngine::midiOutputDeviceReconnected (juce::StringArray names)
{
    if (names.contains (state->port1Name))
        waitWatch->portCameBack();

    // Back after the restart: the restore, or the end of an emergency update, waits
    // until the keyboard says it runs the new firmware.
    if (state->status == EngineStatus::waitingForReboot && confirmation == nullptr && names.contains (state->port1Name))
        confirmation = std::make_unique<ConfirmNewFirmware> (midiManager, this, FirmwareUpdate::embeddedVersion);
}
