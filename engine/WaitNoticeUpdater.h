#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener that a wait for the keyboard explains itself, or no longer. */
class ApplicationEngine::WaitNoticeUpdater final : public ListenerUpdater
{
public:
    WaitNoticeUpdater (juce::ListenerList<Listener>& l, int n)
        : listeners (l)
        , notice (n)
    {
    }

    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.waitNoticeChanged (notice); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const int notice;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WaitNoticeUpdater)
};
