#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener whether emergency mode is on, as it was when queued. */
class ApplicationEngine::EmergencyModeUpdater final : public ListenerUpdater
{
public:
    EmergencyModeUpdater (juce::ListenerList<Listener>& l, bool f)
        : listeners (l)
        , flag (f)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.emergencyModeChanged (flag); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const bool flag;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (EmergencyModeUpdater)
};
