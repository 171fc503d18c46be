#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener the keyboard's model, read when delivered, so that listeners
    always hear the newest value.
*/
class ApplicationEngine::HardwareModelUpdater final : public ListenerUpdater
{
public:
    HardwareModelUpdater (juce::ListenerList<Listener>& l, const EngineState& s)
        : listeners (l)
        , state (s)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.hardwareModelChanged (state.model); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (HardwareModelUpdater)
};
