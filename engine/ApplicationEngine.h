#pragma once

#include "engine/DeviceMessages.h"
#include "engine/EngineState.h"
#include "engine/FirmwareSysexSender.h"
#include "engine/FirmwareUpdate.h"
#include "engine/QueueASyncUpdater.h"
#include "engine/UnopenablePortWatch.h"
#include "midi/MidiManager.h"
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

    /** Drops all update work and returns to idle; message thread only. */
    void reset (bool restartDetection);

    /** Makes the step machine look at the status, on the message thread; any thread. */
    void postStepMessage();

    /** A worker reports that the step with this status is done; any thread. */
    void stepCompleted (int status);

    EngineState& getState() noexcept { return *state; }

    /** Starts an update as the "Update" command does: drops everything, enters the first
        step silently (the backup, or in emergency mode the transfer) and lets the step
        machine take over. Message thread.
    */
    void beginUpdate();

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

    /** Drops presets 30 and 31 and moves presets 6 to 29 to places 8 to 31, for a
        keyboard whose firmware was older than 1.16.
    */
    void adaptPresetsForOldFirmware();

    /** Makes the folder this update's backup files go to, named by the model and the
        time, under the user data folder.
    */
    void buildBackupFolder (juce::Time now);

    /** Appends every backed-up message to its file; on any failure reports
        backupDataError and returns false.
    */
    bool saveBackupFiles();

    /** The folder under which backups are kept; normally the user's application data. */
    void setUserDataFolder (const juce::File& folder) { userDataFolder = folder; }

    juce::String getBackupFolder() const { return backupFolder; }

    /** The folder, under the user data folder, that holds the time-stamped backups of a
        model; for an unknown model the folder above those of the models.
    */
    static juce::File modelBackupFolder (const juce::File& userData, int model);

    /** "7 Dec 2026 30620am" for 3:06:20 in the morning of 7 December 2026. */
    static juce::String backupFolderName (juce::Time time);

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
    struct ErrorReport;
    struct StepCompletion;

    void handleMessage (const juce::Message& message) override;
    void handleStepMessage();
    void startFirmwareTransfer();
    void prepareFirmwareUpdates();
    void startBackupIfNeeded();
    void createSenders();
    void stopUpdate (int code);
    void completeStep (int status);

    int totalBlocks = 0;
    MidiManager::Ptr midiManager;
    juce::ReferenceCountedArray<FirmwareUpdate> firmwareUpdates;
    juce::ReferenceCountedArray<FirmwareSysexSender> senders;
    std::unique_ptr<EngineState> state;
    std::unique_ptr<DetectDeviceInfo> detection;
    std::unique_ptr<RetrieveAllGlobals> globalsRetriever;
    std::unique_ptr<RetrievePreset> presetRetriever;
    juce::ReferenceCountedObjectPtr<SendSysexMessagesWithTimer> restoreSender;
    juce::ListenerList<Listener> listeners;
    juce::String backupFolder;
    juce::File userDataFolder;

    // Held from the start of an update to its end, so that its pauses keep their length
    // while the window is hidden.
    std::unique_ptr<ScopedTimerResolution> timerResolution;

    // Ends the waits for the keyboard's restarts when its port is listed but will not open.
    std::unique_ptr<UnopenablePortWatch> portWatch;

    // Counts resets, so that a report from another thread that arrives after a reset
    // (and so belongs to work already dropped) is recognised and ignored.
    std::atomic<juce::uint32> resetCount { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ApplicationEngine)
};
