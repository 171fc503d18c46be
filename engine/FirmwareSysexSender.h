#pragma once

#include "engine/FirmwareUpdate.h"
#include "midi/MidiManager.h"

/** Sends one firmware image to the keyboard, block after block with a pause after
    each, on a thread of its own, and reports on the message thread that it started, how
    far it has come, that it completed, or that the keyboard went away in the middle.
*/
class FirmwareSysexSender final : public juce::ReferenceCountedObject,
                                  public MidiManager::Listener,
                                  private juce::Thread,
                                  private juce::AsyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<FirmwareSysexSender>;

    /** A sender's news. */
    enum class Status
    {
        started,
        completed,
        deviceOffline // the port vanished mid-transfer, or refused a block; once per run
    };

    /** "Started", "Completed" or "Device Offline". */
    static const char* textOf (Status status);

    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** How far the transfer has come, 0 to 1. */
        virtual void progress (FirmwareSysexSender* sender, double value) = 0;

        virtual void status (FirmwareSysexSender* sender, Status status) = 0;
    };

    /** Neither registers with the port manager nor starts. The listener hears everything
        on the message thread, started first, then progress, then the end.
    */
    FirmwareSysexSender (FirmwareUpdate::Ptr image, MidiManager::Ptr midiManager, Listener* listener);

    /** Ends a running transfer after its current block and waits for the thread. */
    ~FirmwareSysexSender() override;

    /** Starts sending, if the image's port is open; message thread. */
    bool start();

    /** Makes a running transfer stop before its next block; any thread. */
    void requestStop();

    juce::uint32 getBlocksSent() const noexcept { return blocksSent; }

    /** True from the moment the last block goes to the port: the keyboard may restart on
        it before the send returns. A last block that fails is still reported offline.
    */
    bool hasReachedTheLastBlock() const noexcept { return lastBlockGoing; }

    const FirmwareUpdate& getImage() const noexcept { return *image; }

    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}
    void midiOutputDeviceDisconnected (juce::StringArray names) override;

private:
    void run() override;
    void handleAsyncUpdate() override;
    void endRun (bool sendFailed);
    void report (Status status);

    Listener* const listener;
    const FirmwareUpdate::Ptr image;
    MidiManager::Ptr midiManager;
    std::atomic<juce::uint32> blocksSent { 0 };
    std::atomic<bool> lastBlockGoing { false };
    std::atomic<double> progressValue { 0.0 };

    // What the thread tells the message thread: that it started, and how it ended. The
    // thread itself never waits for the message thread, which may be waiting for it.
    std::atomic<bool> started { false }, runEnded { false }, sendFailed { false };

    // Message thread only: a run ends once, completed or offline, never both.
    bool startReported = false, endReported = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
