#include "engine/ApplicationEngine.h"

#include "engine/DetectDeviceInfo.h"
#include "engine/RetrieveAllGlobals.h"
#include "engine/RetrievePreset.h"
#include "engine/SendSysexMessagesWithTimer.h"

//==============================================================================
class ApplicationEngine::StatusUpdater final : public ListenerUpdater
{
public:
    StatusUpdater (juce::ListenerList<Listener>& l, double p, int s)
        : listeners (l)
        , progress (p)
        , status (s)
    {
    }

    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.progressChanged (progress); });
        listeners.call ([this] (Listener& l)
                        { l.statusChanged (status); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const double progress;
    const int status;
};

class ApplicationEngine::ErrorUpdater final : public ListenerUpdater
{
public:
    ErrorUpdater (juce::ListenerList<Listener>& l, int c)
        : listeners (l)
        , code (c)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.errorOccurred (code); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const int code;
};

class ApplicationEngine::EmergencyModeUpdater final : public ListenerUpdater
{
public:
    EmergencyModeUpdater (juce::ListenerList<Listener>& l, bool f)
        : listeners (l)
        , flag (f)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.emergencyModeChanged (flag); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const bool flag;
};

// Model and version are read when delivered, so listeners always see the newest value.
class ApplicationEngine::HardwareModelUpdater final : public ListenerUpdater
{
public:
    HardwareModelUpdater (juce::ListenerList<Listener>& l, const EngineState& s)
        : listeners (l)
        , state (s)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.hardwareModelChanged (state.model); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;
};

class ApplicationEngine::FirmwareVersionUpdater final : public ListenerUpdater
{
public:
    FirmwareVersionUpdater (juce::ListenerList<Listener>& l, const EngineState& s)
        : listeners (l)
        , state (s)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.firmwareVersionChanged (state.version); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;
};

//==============================================================================
// Reports from worker threads, carried to the message thread with the reset count at the
// time they were made.
struct ApplicationEngine::ErrorReport final : public juce::Message
{
    ErrorReport (int c, juce::uint32 r)
        : code (c)
        , resetCount (r)
    {
    }
    const int code;
    const juce::uint32 resetCount;
};

struct ApplicationEngine::StepCompletion final : public juce::Message
{
    StepCompletion (int s, juce::uint32 r)
        : status (s)
        , resetCount (r)
    {
    }
    const int status;
    const juce::uint32 resetCount;
};

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
}

ApplicationEngine::~ApplicationEngine()
{
    // Every worker goes before the state it writes into.
    portWatch.reset();
    midiManager->removeListener (this);
    senders.clear();
    firmwareUpdates.clear();
    restoreSender = nullptr;
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
        postMessage (new ErrorReport (code, resetCount.load()));
}

void ApplicationEngine::stopUpdate (int code)
{
    // A running firmware transfer stops at its next block.
    for (auto* sender : senders)
        sender->requestStop();

    queueUpdate (new ErrorUpdater (listeners, code), juce::sendNotificationAsync);
    reset (true);
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

    // Counted once every worker has ended: a report that a worker made while it was
    // being stopped belongs to the work dropped here, and is ignored when it arrives.
    ++resetCount;

    backupFolder = {};
    timerResolution.reset();
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

void ApplicationEngine::beginUpdate()
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (isBusy())
        return;

    reset (false);
    timerResolution = std::make_unique<ScopedTimerResolution>();
    state->status = state->emergencyMode ? EngineStatus::startingEmergencyUpdate : EngineStatus::backingUpGlobals;
    postStepMessage();
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

    // The engine watches the keyboard's ports from the first transfer on. A keyboard
    // lost after the app image's last block and before the assets image's first is seen
    // by neither sender, and the update would wait for ever for a restart that cannot
    // come; outside the two restarts, a vanished port ends the update.
    midiManager->addListener (this);
    senders.getFirst()->start();
}

void ApplicationEngine::prepareFirmwareUpdates()
{
    firmwareUpdates = FirmwareUpdate::makeImages (state->port1Name, state->emergencyMode, getModelCode());
}

void ApplicationEngine::createSenders()
{
    senders.clear();

    for (auto* image : firmwareUpdates)
        senders.add (new FirmwareSysexSender (image, midiManager, this));
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

    // The old step goes first, so that two never listen at once.
    globalsRetriever.reset();
    globalsRetriever = std::make_unique<RetrieveAllGlobals> (midiManager, this);
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

    if (held < 32)
        presetRetriever = std::make_unique<RetrievePreset> (midiManager, this, (int) held, getModelCode());
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

    if (state->version < 1.16)
        adaptPresetsForOldFirmware();

    std::vector<EngineState::Message> messages;

    {
        const juce::ScopedLock sl (state->userDataLock);

        for (auto& preset : state->presets)
            messages.insert (messages.end(), preset.begin(), preset.end());
    }

    restoreSender = nullptr;
    restoreSender = new SendSysexMessagesWithTimer (midiManager, std::move (messages), 3, this);
}

void ApplicationEngine::adaptPresetsForOldFirmware()
{
    const juce::ScopedLock sl (state->userDataLock);
    auto& presets = state->presets;

    for (int i = 0; i < 2 && ! presets.empty(); ++i)
        presets.pop_back();

    // The Preset Select that opens each stream names the place it is written to.
    for (size_t j = 6; j < presets.size(); ++j)
        if (! presets[j].empty() && presets[j].front().size() > 12)
            presets[j].front()[12] = (juce::uint8) (j + 2);
}

juce::String ApplicationEngine::backupFolderName (juce::Time time)
{
    return time.toString (true, true, true, false).removeCharacters (":");
}

juce::File ApplicationEngine::modelBackupFolder (const juce::File& userData, int model)
{
    const auto folder = userData.getChildFile ("Ivra Professional");
    const juce::String name (HardwareModel::nameOf (model));
    return name.isEmpty() ? folder : folder.getChildFile (name);
}

void ApplicationEngine::buildBackupFolder (juce::Time now)
{
    const auto folder = modelBackupFolder (userDataFolder, state->model).getChildFile (backupFolderName (now));
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

    // Every step is checked: the keyboard is erased next, and then these files and the
    // copies in memory are all the user has.
    auto append = [] (const juce::File& file, const std::vector<EngineState::Message>& messages)
    {
        if (! file.create().wasOk())
            return false;

        const auto sizeBefore = file.getSize();
        juce::int64 bytes = 0;

        {
            juce::FileOutputStream out (file);

            if (out.failedToOpen())
                return false;

            for (auto& m : messages)
            {
                if (! out.write (m.data(), m.size()))
                    return false;

                bytes += (juce::int64) m.size();
            }

            out.flush();

            if (out.getStatus().failed())
                return false;
        }

        return file.getSize() == sizeBefore + bytes;
    };

    const juce::File folder (juce::File::isAbsolutePath (backupFolder) ? backupFolder : juce::String());
    bool ok = folder != juce::File() && append (folder.getChildFile ("Globals.syx"), globals);

    for (size_t i = 0; ok && i < presets.size(); ++i)
        ok = append (folder.getChildFile ("Preset_" + juce::String ((int) i) + ".syx"), presets[i]);

    if (! ok)
        reportError (EngineError::backupDataError);

    return ok;
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
        // the sender list, which belongs to the message thread.
        if (isBusy())
            setStatus (sender->getImage().getName() == "Morelta App" ? EngineStatus::sendingApp : EngineStatus::sendingAssets, state->progress);

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
            setStatus (EngineStatus::waitingForReboot, 0.0);
            midiManager->addListener (this);
        }
    }
    else if (text == "Device Offline")
    {
        reportError (EngineError::deviceUnavailable);
    }
}

void ApplicationEngine::midiOutputDeviceDisconnected (juce::StringArray)
{
    // The keyboard restarts while its firmware is erased and after the new one is in.
    const int s = state->status;

    if (isBusy() && s != EngineStatus::erasingFirmware && s != EngineStatus::waitingForReboot)
        reportError (EngineError::deviceUnavailable);
}

void ApplicationEngine::midiOutputDeviceReconnected (juce::StringArray names)
{
    for (auto& name : names)
        if (name == state->port1Name && state->status == EngineStatus::waitingForReboot)
            stepCompleted (EngineStatus::waitingForReboot);
}
