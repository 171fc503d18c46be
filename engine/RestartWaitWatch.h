#pragma once

#include <juce_events/juce_events.h>

#include <functional>

/** Makes the waits for the keyboard's restarts end or explain themselves.

    The update waits without a limit while the keyboard restarts (into its update mode,
    then into the new firmware), since a restart takes its time; but a keyboard that
    does not restart, or does not come back, must not leave the user looking at a window
    that never changes. This watch tells the engine when a wait has gone on too long:
    the keyboard has not left for its update mode, has not restarted after the
    firmware (then it is asked what it runs), or has not come back.

    Everything runs on the message thread.
*/
class RestartWaitWatch final : private juce::Timer
{
public:
    /** What the update waits for now. */
    enum class Wait
    {
        none,
        updateModeEntry, // Enter Update Mode sent: for the port to go away and come back
        restart,         // both images sent: for the restart into the new firmware
        port             // firmware without an entry message: for the port to be there
    };

    /** How long each wait goes on before the user is told or the keyboard is asked. */
    struct Bounds
    {
        // A keyboard leaves for its update mode within a second or two of being told.
        int updateModeEntryMs = 15000;

        // A keyboard whose loader took both images restarts within seconds; one that is
        // still there after this long is still in its update mode, or restarted unseen.
        int restartSilenceMs = 30000;

        // A restart takes seconds; a port away for a minute is a cable or a power issue.
        int portReturnMs = 60000;
    };

    struct Callbacks
    {
        std::function<Wait()> waitNow;
        std::function<bool()> portIsListed;
        std::function<void (int notice)> setNotice; // a WaitNotice value
        std::function<void()> askWhatItRuns;        // once per restart wait, when it is silent
        std::function<void()> seekUnderOtherNames;  // while the port is away for the update mode
    };

    explicit RestartWaitWatch (Callbacks callbacks);
    ~RestartWaitWatch() override;

    void setBounds (Bounds newBounds) { bounds = newBounds; }
    Bounds getBounds() const noexcept { return bounds; }

    /** The keyboard's port went away or came back. */
    void portWentAway();
    void portCameBack();

private:
    void timerCallback() override;
    void followWait (double now);
    void setNotice (int notice);

    const Callbacks callbacks;
    Bounds bounds;
    Wait current = Wait::none;
    double waitSinceMs = 0.0;
    double awaySinceMs = -1.0; // negative while the port is there
    bool wentAway = false, asked = false;
    int notice = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RestartWaitWatch)
};
