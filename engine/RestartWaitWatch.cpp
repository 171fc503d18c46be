#include "engine/RestartWaitWatch.h"

#include "engine/EngineTypes.h"

RestartWaitWatch::RestartWaitWatch (Wait w, Bounds b, Callbacks c)
    : wait (w)
    , bounds (b)
    , callbacks (std::move (c))
    , sinceMs (juce::Time::getMillisecondCounterHiRes())
{
    // A port already gone counts as away from now on.
    if (! callbacks.portIsListed())
        awaySinceMs = sinceMs;

    startTimer (100);
}

RestartWaitWatch::~RestartWaitWatch()
{
    stopTimer();
}

void RestartWaitWatch::portWentAway()
{
    wentAway = true;
    awaySinceMs = juce::Time::getMillisecondCounterHiRes();
    setNotice (WaitNotice::none);
}

void RestartWaitWatch::portCameBack()
{
    awaySinceMs = -1.0;
    setNotice (WaitNotice::none);
}

void RestartWaitWatch::setSeveralKeyboards (bool several)
{
    severalKeyboards = several;

    if (several)
        setNotice (WaitNotice::severalKeyboards);
    else if (notice == WaitNotice::severalKeyboards)
        setNotice (WaitNotice::none);
}

void RestartWaitWatch::timerCallback()
{
    const auto now = juce::Time::getMillisecondCounterHiRes();

    if (severalKeyboards)
    {
        // Said until the other keyboard is gone; the other waits' notices wait for that.
    }
    else if (awaySinceMs >= 0.0)
    {
        if (now - awaySinceMs >= bounds.portReturnMs)
            setNotice (WaitNotice::notBack);
    }
    else if (! wentAway) // once the port has gone and come back, the restart is under way
    {
        if (wait == Wait::updateModeEntry && now - sinceMs >= bounds.updateModeEntryMs)
            setNotice (WaitNotice::notInUpdateMode);

        if (wait == Wait::restart && ! silenceTold && now - sinceMs >= bounds.restartSilenceMs && callbacks.silent != nullptr)
        {
            silenceTold = true;
            callbacks.silent();
            return;
        }
    }

    if (callbacks.tick != nullptr)
        callbacks.tick();
}

void RestartWaitWatch::setNotice (int newNotice)
{
    if (newNotice == notice)
        return;

    notice = newNotice;
    callbacks.setNotice (notice);
}
