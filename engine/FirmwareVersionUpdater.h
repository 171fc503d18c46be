#pragma once

#include "engine/ApplicationEngine.h"

/** Tells every listener the keyboard's firmware version, read when delivered. */
class ApplicationEngine::FirmwareVersionUpdater final : public ListenerUpdater
{
public:
    FirmwareVersionUpdater (juce::ListenerList<Listener>& l, const EngineState& s)
        : listeners (l)
        , state (s)
    {
    }
    void deliver() override
    {
        listeners.call ([this] (Listener& l)
                        { l.firmwareVersionChanged (state.version); });
    }

private:
    juce::ListenerList<Listener>& listeners;
    const EngineState& state;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (FirmwareVersionUpdater)
};
