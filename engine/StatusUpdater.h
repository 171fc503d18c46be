#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener the progress, then the status, both as they were when queued. */
class ApplicationEngine::StatusUpdater final : public ListenerUpdater
{
public:
    StatusUpdater (juce::ListenerList<Listener>& l, double p, int s)
        : listeners (l)
        , progress (p)
        , status (s)
    {
    }

    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.progressChanged (progress); });
        listeners.call ([this] (Listener& l)
                        { l.statusChanged (status); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const double progress;
    const int status;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (StatusUpdater)
};
