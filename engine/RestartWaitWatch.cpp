#include "engine/RestartWaitWatch.h"

#include "engine/EngineTypes.h"

RestartWaitWatch::RestartWaitWatch (Callbacks c)
    : callbacks (std::move (c))
{
    startTimer (100);
}

RestartWaitWatch::~RestartWaitWatch()
{
    stopTimer();
}

void RestartWaitWatch::followWait (double now)
{
    const auto wait = callbacks.waitNow();

    if (wait == current)
        return;

    // A new wait starts afresh; a port already gone counts as away from now on.
    current = wait;
    waitSinceMs = now;
    wentAway = false;
    asked = false;
    awaySinceMs = wait != Wait::none && ! callbacks.portIsListed() ? now : -1.0;
    setNotice (WaitNotice::none);
}

void RestartWaitWatch::portWentAway()
{
    const auto now = juce::Time::getMillisecondCounterHiRes();
    followWait (now);

    if (current == Wait::none)
        return;

    wentAway = true;
    awaySinceMs = now;
    setNotice (WaitNotice::none);
}

void RestartWaitWatch::portCameBack()
{
    followWait (juce::Time::getMillisecondCounterHiRes());
    awaySinceMs = -1.0;
    setNotice (WaitNotice::none);
}

void RestartWaitWatch::timerCallback()
{
    const auto now = juce::Time::getMillisecondCounterHiRes();
    followWait (now);

    if (current == Wait::none)
        return;

    // Found there, the port counts as back.
    if (awaySinceMs >= 0.0 && current == Wait::updateModeEntry && callbacks.seekUnderOtherNames != nullptr)
        callbacks.seekUnderOtherNames();

    if (awaySinceMs >= 0.0)
    {
        if (now - awaySinceMs >= bounds.portReturnMs)
            setNotice (WaitNotice::notBack);

        return;
    }

    // Once the port has gone and come back, the restart is under way.
    if (wentAway)
        return;

    if (current == Wait::updateModeEntry && now - waitSinceMs >= bounds.updateModeEntryMs)
        setNotice (WaitNotice::notInUpdateMode);

    if (current == Wait::restart && ! asked && now - waitSinceMs >= bounds.restartSilenceMs)
    {
        asked = true;
        callbacks.askWhatItRuns();
    }
}

void RestartWaitWatch::setNotice (int newNotice)
{
    if (newNotice == notice)
        return;

    notice = newNotice;
    callbacks.setNotice (notice);
}
