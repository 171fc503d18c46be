#pragma once

#include "engine/BackupFolder.h"
#include "engine/DeviceMessages.h"
#include "engine/EngineState.h"
#include "engine/FirmwareUpdate.h"
#include "engine/QueueASyncUpdater.h"
#include "engine/RestartWaitWatch.h"
#include "engine/RestoreCutShort.h"
#include "engine/RunPlan.h"
#include "engine/UnopenablePortWatch.h"
#include "engine/UpdateLog.h"
#include "midi/MidiManager.h"

#include <optional>

class UpdateRun;

/** The centre of the updater: holds the state record and the run going on, and tells
    its listeners, always on the message thread, what happens.

    A run is a list of steps (UpdateRun); its kind, fixed when it begins, says which.
    The state record belongs to the message thread: workers on other threads hand what
    they learn over to it, and the running step writes it.
*/
class ApplicationEngine final : public MidiManager::Listener,
                                public juce::MessageListener,
                                public QueueASyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<ApplicationEngine>;

    class DetectDeviceInfo;
    class RetrieveAllGlobals;
    class RetrievePreset;
    class SendSysexMessagesWithTimer;

    /** Notifications, all on the message thread, from the most recently added listener
        to the first.
    */
    class Listener
    {
    public:
        virtual ~Listener() = default;
        virtual void statusChanged (int status) = 0;
        virtual void progressChanged (double progress) = 0;
        virtual void errorOccurred (int error) = 0;
        virtual void firmwareVersionChanged (double version) = 0;
        virtual void hardwareModelChanged (int model) = 0;
        virtual void emergencyModeChanged (bool isOn) = 0;

        /** A wait for the keyboard has gone on too long (a WaitNotice value), or, with
            none, no longer has.
        */
        virtual void waitNoticeChanged (int notice) { juce::ignoreUnused (notice); }
    };

    explicit ApplicationEngine (MidiManager::Ptr midiManager);
    ~ApplicationEngine() override;

    /** Null or an already present listener changes nothing; there is no removal. */
    void addListener (Listener* listener);

    /** True in every status but idle and completed. */
    bool isBusy() const noexcept;

    // These write the state and queue notifications; message thread.
    void setEmergencyMode (bool shouldBeOn);
    void setStatus (int status, double progress);
    void notifyModelAndVersion();
    void setWaitNotice (int notice);

    /** Stops the update: listeners hear errorOccurred (code), then progress 0 and idle.
        From another thread, the report is carried over to the message thread first, and
        dropped there if the engine was reset in between.
    */
    void reportError (int code);

    /** The same, always carried over to the message thread: for callers that the stop
        deletes, such as a step.
    */
    void reportErrorLater (int code);

    /** Drops the run and returns to idle; message thread. */
    void reset (bool restartDetection);

    /** Makes the step machine look at the status, on the message thread; any thread. */
    void postStepMessage();

    /** The step at this status is done; from another thread carried over first. */
    void stepCompleted (int status);

    EngineState& getState() noexcept { return *state; }
    const EngineState& getState() const noexcept { return *state; }

    /** The kind of the run going on, or of the one that ended last. */
    RunKind getRunKind() const noexcept { return runKind; }

    /** Why an update, or a try again, cannot start now. */
    enum class Refusal
    {
        none,
        busy,
        versionUnknown,      // a normal update needs the keyboard's firmware version
        placeholderFirmware, // our placeholder firmware must never reach a real keyboard
        severalKeyboards,    // one would be backed up and both flashed
        otherKeyboard,       // a try again finds a keyboard of another model
        nothingToTryAgain
    };

    Refusal checkUpdateCanStart() const;

    /** Starts an update as the "Update" command does: drops everything, enters the first
        step silently (the backup, or in emergency mode the transfer) and lets the step
        machine take over. Does nothing, and returns false, while checkUpdateCanStart
        refuses. Message thread.
    */
    bool beginUpdate();

    /** Why this backup cannot go back into the keyboard now, in words for the user;
        empty when it can: the keyboard connected, idle, of the backup's model, its
        version read.
    */
    juce::String checkBackupRestore (const BackupFolder& backup) const;

    /** Puts a backup back into the connected keyboard, with the restore steps of an
        update. Returns why it cannot, or nothing once it has started. Message thread.
    */
    juce::String beginBackupRestore (const BackupFolder& backup);

    /** Whether the update that failed last can be tried again: it failed once its
        transfer had started, and nothing else has started since.
    */
    bool canTryAgain() const { return retry.has_value() && ! isBusy(); }

    /** The kind of update that can be tried again. */
    RunKind getTryAgainKind() const { return retry.has_value() ? retry->kind : RunKind::none; }

    /** What the Update button would say, and whether the keyboard connected, if any, is
        of the failed update's model.
    */
    Refusal checkTryAgain() const;

    /** Tries the failed update again: sends both images as soon as the keyboard's port
        is there (into its update mode first, if it answers as its firmware); then, once
        it says it runs the new firmware, puts back the update's backup, moved as the
        firmware it had before needs. Returns why not, with nothing done. Message thread.
    */
    Refusal tryAgain();

    /** Whether the last run failed while putting the user's data back or checking it, so
        that the keyboard holds only part of it, and that data is still here to put back.
    */
    bool canPutBack() const { return cutShort.isKept() && ! isBusy(); }

    /** Puts the data of the restore cut short back once more, and checks it, as soon as
        the keyboard it belongs to is connected alone with its version read: at once if it
        is. Message thread.
    */
    void putBack();

    /** The backup folder that holds the data to put back; empty when none does. */
    juce::String getPutBackFolder() const { return cutShort.getFolder(); }

    //==============================================================================
    /** How long the waits for the keyboard go on before they explain themselves. */
    void setWaitBounds (RestartWaitWatch::Bounds bounds) { waitBounds = bounds; }
    RestartWaitWatch::Bounds getWaitBounds() const noexcept { return waitBounds; }

    /** How long an update waits for a keyboard port that is listed but will not open. */
    void setUnopenablePortTimeout (int milliseconds) { unopenablePortTimeoutMs = milliseconds; }
    int getUnopenablePortTimeout() const noexcept { return unopenablePortTimeoutMs; }

    /** The folder under which backups are kept; normally the user's application data. */
    void setUserDataFolder (const juce::File& folder) { userDataFolder = folder; }
    juce::File getUserDataFolder() const { return userDataFolder; }

    /** This run's backup folder; empty when none has been made. */
    juce::String getBackupFolder() const;

    /** The folder of the last backup written whole, kept after the update ends. */
    juce::String getLastBackupFolder() const { return lastBackupFolder; }
    void setLastBackupFolder (const juce::String& folder) { lastBackupFolder = folder; }

    /** What the last failed run could not do, in a sentence for the user; empty when it
        has nothing to add to its error.
    */
    juce::String getErrorDetail() const { return errorDetail; }
    void setErrorDetail (const juce::String& detail) { errorDetail = detail; }

    UpdateLog& getUpdateLog() noexcept { return updateLog; }

    /** The running detection, or null while an update runs. */
    DetectDeviceInfo* getDetection() const noexcept { return detection.get(); }

    /** The code that opens the maker's messages for the connected model, if known. */
    DeviceMessages::ModelCode getModelCode() const;
    MidiManager& getMidiManager() noexcept { return *midiManager; }

    // MidiManager::Listener: port news goes to the running step, whose rule it is.
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}
    void midiOutputDeviceDisconnected (juce::StringArray names) override;
    void midiOutputDeviceReconnected (juce::StringArray names) override;

private:
    class StatusUpdater;
    class ErrorUpdater;
    class EmergencyModeUpdater;
    class HardwareModelUpdater;
    class FirmwareVersionUpdater;
    class WaitNoticeUpdater;
    struct WorkerReport;

    /** What a run that failed once its transfer had started leaves for a try again. */
    struct Retry
    {
        RunKind kind;
        RunPlan plan;
    };

    void handleMessage (const juce::Message& message) override;
    void handleStepMessage();
    void stopUpdate (int code);
    void completeStep (int status);
    void completeRun();
    void beginRun (RunKind kind, RunPlan plan, int firstStatus, bool notifyFirstStatus);
    void finishUpdateLog (const juce::String& outcome);
    void startPutBackIfReady();
    Refusal checkFirmwareMayGo() const;

    MidiManager::Ptr midiManager;
    std::unique_ptr<EngineState> state;
    std::unique_ptr<DetectDeviceInfo> detection;
    std::unique_ptr<UpdateRun> run;
    RunKind runKind = RunKind::none;

    std::optional<Retry> retry;
    RestoreCutShort cutShort;

    juce::ListenerList<Listener> listeners;
    juce::String lastBackupFolder;
    juce::String errorDetail;
    juce::File userDataFolder;
    UpdateLog updateLog;
    RestartWaitWatch::Bounds waitBounds;
    int unopenablePortTimeoutMs = UnopenablePortWatch::defaultTimeoutMs;

    // Counts resets, so that a report from another thread that arrives after a reset
    // (and so belongs to work already dropped) is recognised and ignored.
    std::atomic<juce::uint32> resetCount { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ApplicationEngine)
};
