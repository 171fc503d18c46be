#pragma once

#include <juce_events/juce_events.h>

#include <functional>

/** Makes one wait for the keyboard explain itself when it goes on too long.

    The update waits without a limit while the keyboard restarts (into its update mode,
    then into the new firmware), since a restart takes its time; but a keyboard that
    does not restart, or does not come back, must not leave the user looking at a window
    that never changes. This watch tells when a wait has gone on too long: the keyboard
    has not left for its update mode, has not come back, or, after the firmware, never
    went away (it is then asked what it runs).

    A step makes one for each wait and deletes it when the wait is over. Message thread.
*/
class RestartWaitWatch final : private juce::Timer
{
public:
    /** What the step waits for. */
    enum class Wait
    {
        updateModeEntry, // Enter Update Mode sent: for the port to go away and come back
        restart,         // both images sent: for the restart into the new firmware
        port             // for the keyboard's port to be there
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
        std::function<bool()> portIsListed;
        std::function<void (int notice)> setNotice; // a WaitNotice value
        std::function<void()> silent = nullptr;     // restart only: the port never went away
        std::function<void()> tick = nullptr;       // a few times a second
    };

    RestartWaitWatch (Wait wait, Bounds bounds, Callbacks callbacks);
    ~RestartWaitWatch() override;

    /** The keyboard's port went away or came back. */
    void portWentAway();
    void portCameBack();

    bool isPortAway() const noexcept { return awaySinceMs >= 0.0; }

    /** Another keyboard is there while this one is to be found under other names: which
        is which cannot be told, and the wait says so first.
    */
    void setSeveralKeyboards (bool several);

private:
    void timerCallback() override;
    void setNotice (int notice);

    const Wait wait;
    const Bounds bounds;
    const Callbacks callbacks;
    const double sinceMs;
    double awaySinceMs = -1.0; // negative while the port is there
    bool wentAway = false, silenceTold = false, severalKeyboards = false;
    int notice = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (RestartWaitWatch)
};
