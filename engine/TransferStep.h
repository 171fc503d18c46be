#pragma once

#include "engine/FirmwareSysexSender.h"
#include "engine/IdentityProbe.h"
#include "engine/KeyboardFollower.h"
#include "engine/RestartWaitWatch.h"
#include "engine/UnopenablePortWatch.h"
#include "engine/UpdateStep.h"

/** Brings the keyboard into its update mode and sends it both images, the app image
    first, with one progress over both.

    Whether the keyboard is in its update mode is decided from its own answers: its
    loader answers no Identity Request, its firmware does. So once its port is back after
    Enter Update Mode, or found under other names (some systems bind another driver to a
    keyboard in its update mode), it is asked first: a keyboard that answers has only
    gone and come back, still running its firmware, and is told once more to enter its
    update mode; no image goes to it.
*/
class TransferStep final : public UpdateStep,
                           private FirmwareSysexSender::Listener
{
public:
    /** How the keyboard gets into its update mode. */
    enum class Entry
    {
        enterUpdateMode, // told to, as a normal update does
        alreadyThere,    // started in it by hand, for an emergency update
        askFirst         // tried again: told to only if it answers as its firmware
    };

    TransferStep (ApplicationEngine& engine, UpdateRun& run, Entry entry);
    ~TransferStep() override;

    void start() override;
    void outputsGone (const juce::StringArray& names) override;
    void outputsBack (const juce::StringArray& names) override;

    /** How often Enter Update Mode is sent to a keyboard that keeps coming back in its
        firmware; after that the wait goes on and explains itself.
    */
    static constexpr int maxEntries = 2;

    /** How the keyboard is asked whether it runs its firmware: its answer takes a few
        milliseconds; a loader stays silent.
    */
    static constexpr int askTries = 3, askIntervalMs = 500;

private:
    enum class Phase
    {
        waitingForPort,
        entering,
        asking,
        sending
    };

    bool portIsReady() const;
    void waitForPort();
    void portReady();
    void enterUpdateMode();
    void askWhatItRuns();
    void firmwareAnswered();
    void seekUnderOtherNames();
    void sendImages();
    void watch (RestartWaitWatch::Wait wait);

    void progress (FirmwareSysexSender* sender, double value) override;
    void status (FirmwareSysexSender* sender, FirmwareSysexSender::Status status) override;

    const Entry entry;
    Phase phase = Phase::waitingForPort;
    bool inUpdateMode;
    bool followed = false; // the keyboard is followed under other names
    int entriesSent = 0;
    KeyboardFollower follower;
    std::unique_ptr<RestartWaitWatch> wait;
    std::unique_ptr<UnopenablePortWatch> portWatch;
    std::unique_ptr<IdentityProbe> probe;
    std::array<FirmwareSysexSender::Ptr, FirmwareUpdate::numImages> senders;
    int current = FirmwareUpdate::app;
    juce::uint32 appBlocks = 0, totalBlocks = 0;
};
