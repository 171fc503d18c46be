#pragma once

#include <juce_events/juce_events.h>

#include <functional>

namespace bench
{
/** Runs the message loop until the condition holds or the time is up. */
inline bool runUntil (const std::function<bool()>& condition, double timeoutSeconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutSeconds * 1000.0;

    while (! condition() && juce::Time::getMillisecondCounterHiRes() < end)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);

    return condition();
}
} // namespace bench
