#pragma once

#include <juce_events/juce_events.h>

/** Makes the windows repaint when the program runs in Wine.

    On Windows JUCE 7 paints what components have asked to repaint from its vertical-blank
    callback. Wine never calls it, so under Wine a window paints once and then shows none
    of its changes. While this object lives, and only in Wine, a timer makes every window
    paint what is pending instead. On Windows itself and elsewhere it does nothing.
*/
class WineRepaintPump final : private juce::Timer
{
public:
    WineRepaintPump();
    ~WineRepaintPump() override;

    /** True when the program runs in Wine rather than on Windows. */
    static bool isRunningInWine();

    bool isPumping() const { return isTimerRunning(); }

private:
    void timerCallback() override;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WineRepaintPump)
};
