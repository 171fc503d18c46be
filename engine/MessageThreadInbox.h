#pragma once

#include <juce_events/juce_events.h>

#include <functional>
#include <mutex>
#include <vector>

/** Carries what another thread learns over to the message thread, in the order it was
    learnt: any thread posts, and the message thread hands each item to the receiver.

    The receiver may delete the inbox's owner (and so the inbox) from inside its call:
    what is still waiting is then dropped.
*/
template <typename Item>
class MessageThreadInbox final : private juce::AsyncUpdater
{
public:
    explicit MessageThreadInbox (std::function<void (Item&)> receiver)
        : receive (std::move (receiver))
    {
    }

    ~MessageThreadInbox() override
    {
        cancelPendingUpdate();
        masterReference.clear();
    }

    void post (Item item)
    {
        {
            const std::lock_guard<std::mutex> guard (mutex);
            items.push_back (std::move (item));
        }

        triggerAsyncUpdate();
    }

    /** Hands over at once what has been posted so far; message thread. */
    void flush()
    {
        cancelPendingUpdate();
        handleAsyncUpdate();
    }

private:
    void handleAsyncUpdate() override
    {
        std::vector<Item> batch;

        {
            const std::lock_guard<std::mutex> guard (mutex);
            batch.swap (items);
        }

        const juce::WeakReference<MessageThreadInbox> alive (this);

        for (auto& item : batch)
        {
            receive (item);

            if (alive == nullptr)
                return;
        }
    }

    const std::function<void (Item&)> receive;
    std::mutex mutex;
    std::vector<Item> items;

    JUCE_DECLARE_WEAK_REFERENCEABLE (MessageThreadInbox)
    JUCE_DECLARE_NON_COPYABLE (MessageThreadInbox)
};
