#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener why the update stopped. */
class ApplicationEngine::ErrorUpdater final : public ListenerUpdater
{
public:
    ErrorUpdater (juce::ListenerList<Listener>& l, int c)
        : listeners (l)
        , code (c)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.errorOccurred (code); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const int code;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ErrorUpdater)
};
