#pragma once

#include "engine/FirmwareUpdate.h"
#include "midi/MidiManager.h"

/** Sends one firmware image to the keyboard, block after block with a pause after
    each, on a thread of its own, and reports start, progress, completion and a keyboard
    that went away in the middle.
*/
class FirmwareSysexSender final : public juce::ReferenceCountedObject,
                                  public MidiManager::Listener,
                                  private juce::Thread,
                                  private juce::AsyncUpdater
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<FirmwareSysexSender>;

    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** How far the transfer has come, 0 to 1; on the message thread. */
        virtual void progress (FirmwareSysexSender* sender, double value) = 0;

        /** "Started" (on the sender's thread), "Completed" or "Device Offline" (on the
            message thread; once, when the port vanished mid-transfer or refused a
            message).
        */
        virtual void status (FirmwareSysexSender* sender, const juce::String& text) = 0;
    };

    /** Neither registers with the port manager nor starts. */
    FirmwareSysexSender (FirmwareUpdate::Ptr image, MidiManager::Ptr midiManager, Listener* listener);

    /** Ends a running transfer after its current block and waits for the thread. */
    ~FirmwareSysexSender() override;

    /** Sends the image's entry message and waits for the keyboard to come back, or, with
        no entry message, starts sending if the keyboard's output is there; message thread.
    */
    void start();

    /** Makes a running transfer stop before its next block; any thread. */
    void requestStop();

    juce::uint32 getBlocksSent() const noexcept { return blocksSent; }

    /** True from the moment the last block goes to the port: the keyboard may restart on
        it before the send returns. A last block that fails is still reported offline.
    */
    bool hasReachedTheLastBlock() const noexcept { return lastBlockGoing; }

    /** Starts only on a port that is listed as well as open. A transfer tried again right
        after a failed send may start while the port that vanished is still open, until
        the next poll closes it; it then waits for the port to come back instead of
        failing on its first block. Message thread, before start().
    */
    void startOnlyOnAListedPort() noexcept { onlyOnAListedPort = true; }
    const FirmwareUpdate& getImage() const noexcept { return *image; }

    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}
    void midiOutputDeviceDisconnected (juce::StringArray names) override;
    void midiOutputDeviceReconnected (juce::StringArray names) override;

private:
    void run() override;
    void handleAsyncUpdate() override;
    void startSending();
    void endWithFailedSend();
    void reportOffline();

    template <typename Call>
    void callListeners (Call&& call);

    juce::Array<Listener*> listeners;
    const FirmwareUpdate::Ptr image;
    MidiManager::Ptr midiManager;
    std::atomic<juce::uint32> blocksSent { 0 };
    std::atomic<bool> lastBlockGoing { false };
    juce::uint32 blockCount = 0;
    std::atomic<double> progressValue { 0.0 };

    // Set when a run has gone through all its blocks or been stopped, so that the
    // message thread unregisters the sender: the thread itself must never wait for the
    // message thread, which may be waiting for it.
    std::atomic<bool> runEnded { false };
    bool onlyOnAListedPort = false;

    // A send that the port refused ends the run as a vanished port does. A run ends
    // once: completed or offline, never both, never twice.
    std::atomic<bool> sendFailed { false }, endReported { false };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareSysexSender)
};
