#pragma once

#include "engine/ListenerUpdater.h"

#include <juce_events/juce_events.h>

/** A queue of notifications that any thread may add to and that the message thread
    delivers, oldest first.
*/
class QueueASyncUpdater : public virtual juce::ReferenceCountedObject,
                          public virtual juce::AsyncUpdater
{
public:
    QueueASyncUpdater() = default;

    /** Drops what was never delivered. */
    ~QueueASyncUpdater() override;

    /** Queues the update for the message thread. */
    void queueUpdate (ListenerUpdater::Ptr update);

    void handleAsyncUpdate() override;

private:
    juce::CriticalSection lock;
    juce::ReferenceCountedArray<ListenerUpdater> pending;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (QueueASyncUpdater)
};
