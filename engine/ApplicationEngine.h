#pragma once

#include "engine/EngineState.h"
#include "engine/FirmwareSysexSender.h"
#include "engine/QueueASyncUpdater.h"
#include "midi/MidiManager.h"

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
    MidiManager& getMidiManager() noexcept { return *midiManager; }

    // FirmwareSysexSender::Listener
    void progress (FirmwareSysexSender* sender, double value) override;
    void status (FirmwareSysexSender* sender, const juce::String& text) override;

    // MidiManager::Listener
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}

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
    void stopUpdate (int code);
    void completeStep (int status);

    MidiManager::Ptr midiManager;
    std::unique_ptr<EngineState> state;
    juce::ListenerList<Listener> listeners;
    juce::String backupFolder;

    // Counts resets, so that a report from another thread that arrives after a reset
    // (and so belongs to work already dropped) is recognised and ignored.
    std::atomic<juce::uint32> resetCount { 0 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ApplicationEngine)
};
