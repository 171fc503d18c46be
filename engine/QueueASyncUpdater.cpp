#include "engine/QueueASyncUpdater.h"

QueueASyncUpdater::~QueueASyncUpdater()
{
    cancelPendingUpdate();

    const juce::ScopedLock sl (lock);
    pending.clear();
}

void QueueASyncUpdater::queueUpdate (ListenerUpdater::Ptr update)
{
    const juce::ScopedLock sl (lock);
    pending.add (std::move (update));
    triggerAsyncUpdate();
}

void QueueASyncUpdater::handleAsyncUpdate()
{
    // The batch is taken out before delivery, so that threads queueing meanwhile are not
    // held up by the listeners, and so that a nested message loop run by a listener
    // cannot deliver the same update twice. Updates queued meanwhile wait for the next
    // pass, which their own trigger has already requested.
    juce::ReferenceCountedArray<ListenerUpdater> batch;

    {
        const juce::ScopedLock sl (lock);
        batch.swapWith (pending);
    }

    for (auto* update : batch)
        update->deliver();
}
