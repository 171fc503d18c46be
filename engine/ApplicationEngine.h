#pragma once

#include "engine/BackupFolder.h"
#include "engine/DeviceMessages.h"
#include "engine/EngineState.h"
#include "engine/FirmwareSysexSender.h"
#include "engine/FirmwareUpdate.h"
#include "engine/QueueASyncUpdater.h"
#include "engine/RestartWaitWatch.h"
#include "engine/UnopenablePortWatch.h"
#include "engine/UpdateLog.h"
#include "midi/MidiManager.h"
#include "platform/ScopedSystemAwake.h"
#include "platform/ScopedTimerResolution.h"

/** The centre of the updater: holds the state record, runs the update's steps and tells
    its listeners, always on the message thread, what happens.
*/
class ApplicationEngine final : public FirmwareSysexSender::Listener,
                                public MidiManager::Listener,
                                public juce::MessageListener,
                                public QueueASyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<ApplicationEngine>;

    class ConfirmNewFirmware;
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

    // These only write the state and queue notifications, so any thread may call them.
    void setEmergencyMode (bool shouldBeOn);
    void setStatus (int status, double progress);
    void notifyModelAndVersion();

    /** Stops the update: listeners hear errorOccurred (code), then progress 0 and idle.
        From another thread, the report is carried over to the message thread first, and
        dropped there if the engine was reset in between.
    */
    void reportError (int code);

    /** The same, always carried over to the message thread: for callers that the stop
        deletes, such as a step's own time-out.
    */
    void reportErrorLater (int code);

    /** Drops all update work and returns to idle; message thread only. */
    void reset (bool restartDetection);

    /** Makes the step machine look at the status, on the message thread; any thread. */
    void postStepMessage();

    /** A worker reports that the step with this status is done; any thread. */
    void stepCompleted (int status);

    EngineState& getState() noexcept { return *state; }

    /** Why an update cannot start now. */
    enum class Refusal
    {
        none,
        busy,
        versionUnknown,      // a normal update needs the keyboard's firmware version
        placeholderFirmware, // our placeholder firmware must never reach a real keyboard
        severalKeyboards     // one would be backed up and both flashed
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

    /** Whether the update that failed last can be tried again: it failed after the
        keyboard was told to enter its update mode (or, in an emergency update, once the
        firmware went out), and nothing else has started since.
    */
    bool canTryAgain() const;

    /** Whether the update that can be tried again was an emergency update. */
    bool tryAgainIsEmergency() const { return retry.has_value() && retry->emergency; }

    /** Tries the failed update again: sends both images, as an emergency update does,
        as soon as the keyboard's port is there; then, once the keyboard says it runs the
        new firmware, puts back the settings and presets of the update's backup, adapted
        by the version the keyboard had before. False, and nothing done, when it cannot.
        Message thread.
    */
    bool tryAgain();

    /** How long the waits for the keyboard go on before they explain themselves. */
    void setWaitBounds (RestartWaitWatch::Bounds bounds) { waitWatch->setBounds (bounds); }

    /** The keyboard came back running this firmware after the transfer; any thread. */
    void firmwareConfirmed (double version);

    //==============================================================================
    // The backup and restore steps, started by the step machine.

    /** Makes this update's backup folder if there is none yet, then reads the globals. */
    void startGlobalsBackup();

    /** Reads the next preset: the one numbered by how many are held. */
    void startPresetBackup();

    /** Sends the backed-up globals back, 2 ms apart. */
    void startGlobalsRestore();

    /** Sends the backed-up presets back, 3 ms apart, adapted for firmware before 1.16. */
    void startPresetsRestore();

    /** Makes the folder this update's backup files go to, named by the model and the
        time, under the user data folder.
    */
    void buildBackupFolder (juce::Time now);

    /** Writes every backed-up message and the manifest; on any failure reports
        backupDataError and returns false.
    */
    bool saveBackupFiles();

    /** The folder under which backups are kept; normally the user's application data. */
    void setUserDataFolder (const juce::File& folder) { userDataFolder = folder; }
    juce::File getUserDataFolder() const { return userDataFolder; }

    /** This update's backup folder; empty when none has been made. */
    juce::String getBackupFolder() const { return backupFolder; }

    /** The folder of the last backup written whole, kept after the update ends. */
    juce::String getLastBackupFolder() const { return lastBackupFolder; }

    const UpdateLog& getUpdateLog() const noexcept { return updateLog; }

    /** How long an update waits for a keyboard port that is listed but will not open. */
    void setUnopenablePortTimeout (int milliseconds) { portWatch->setTimeout (milliseconds); }

    /** The running detection, or null while an update runs. */
    DetectDeviceInfo* getDetection() const noexcept { return detection.get(); }

    /** The code that opens the maker's messages for the connected model, if known. */
    DeviceMessages::ModelCode getModelCode() const;
    MidiManager& getMidiManager() noexcept { return *midiManager; }

    // FirmwareSysexSender::Listener
    void progress (FirmwareSysexSender* sender, double value) override;
    void status (FirmwareSysexSender* sender, const juce::String& text) override;

    // MidiManager::Listener: once an update has sent its assets image, the engine watches
    // the ports itself.
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}
    void midiOutputDeviceDisconnected (juce::StringArray names) override;
    void midiOutputDeviceReconnected (juce::StringArray names) override;

private:
    class StatusUpdater;
    class ErrorUpdater;
    class EmergencyModeUpdater;
    class HardwareModelUpdater;
    class FirmwareVersionUpdater;

    struct WorkerReport;

    void handleMessage (const juce::Message& message) override;
    void handleStepMessage();
    void finishUpdateLog (const juce::String& outcome);
    void startFirmwareTransfer();
    void prepareFirmwareUpdates();
    void startBackupIfNeeded();
    void createSenders();
    void stopUpdate (int code);
    void completeStep (int status);
    RestartWaitWatch::Wait currentWait() const;
    void askWhatTheKeyboardRuns();
    void followUpdateModeUnderOtherNames();

    int totalBlocks = 0;
    MidiManager::Ptr midiManager;
    juce::ReferenceCountedArray<FirmwareUpdate> firmwareUpdates;
    juce::ReferenceCountedArray<FirmwareSysexSender> senders;
    std::unique_ptr<EngineState> state;
    std::unique_ptr<DetectDeviceInfo> detection;
    std::unique_ptr<RetrieveAllGlobals> globalsRetriever;
    std::unique_ptr<RetrievePreset> presetRetriever;
    std::unique_ptr<ConfirmNewFirmware> confirmation;
    juce::ReferenceCountedObjectPtr<SendSysexMessagesWithTimer> restoreSender;
    juce::ListenerList<Listener> listeners;
    juce::String backupFolder, lastBackupFolder;
    juce::File userDataFolder;
    UpdateLog updateLog;

    /** What a failed update leaves for another try: the user data it backed up, the
        version the keyboard had before it, where its backup and log went.
    */
    struct Retry
    {
        std::vector<EngineState::Message> globals;
        std::vector<std::vector<EngineState::Message>> presets;
        double versionBefore = 0.0;
        juce::String backupFolder;
        juce::File logFolder;
        bool emergency = false;
        int tries = 1;
    };

    std::optional<Retry> retry;

    // Whether the running update is a try again, and whether it ends after the transfer.
    bool tryingAgain = false, transferOnly = false;
    juce::File logFolder;

    // Set when a restore from a backup folder decided the presets' adaptation itself;
    // an update's restore goes by the version read before it.
    std::optional<bool> restoreAdaptation;

    // Once firmware has gone out, the version read before the update no longer says
    // what the keyboard runs.
    bool firmwareSent = false;
    std::atomic<double> confirmedVersion { 0.0 };

    // The outputs listed when the keyboard was told to enter its update mode, and the
    // keyboard's own output while it is in that mode under other names.
    juce::StringArray outputsBeforeUpdateMode;
    juce::String portOutsideUpdateMode;

    // Held from the start of an update, or of a restore, to its end: its pauses keep
    // their length while the window is hidden, and the system does not sleep under it.
    struct UpdateScope
    {
        ScopedTimerResolution timerResolution;
        ScopedSystemAwake systemAwake;
    };

    std::unique_ptr<UpdateScope> updateScope;

    // Ends the waits for the keyboard's restarts when its port is listed but will not open.
    std::unique_ptr<UnopenablePortWatch> portWatch;

    // Explains the waits for the keyboard's restarts that go on too long.
    std::unique_ptr<RestartWaitWatch> waitWatch;

    // Counts resets, so that a report from another thread that arrives after a reset
    // (and so belongs to work already dropped) is recognised and ignored.
    std::atomic<juce::uint32> resetCount { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ApplicationEngine)
};
