#pragma once

#include <juce_core/juce_core.h>

/** One queued notification, delivered to its listeners on the message thread. */
class ListenerUpdater : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<ListenerUpdater>;

    ~ListenerUpdater() override = default;
    virtual void deliver() = 0;
};
