#include "sim/MessageThreadStallMeter.h"

#include <algorithm>

class MessageThreadStallMeter::Pinger final : public juce::Thread
{
public:
    explicit Pinger (juce::ReferenceCountedObjectPtr<Waits> w)
        : juce::Thread ("message thread stall meter")
        , waits (std::move (w))
    {
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            const auto posted = juce::Time::getMillisecondCounterHiRes();
            juce::MessageManager::callAsync ([w = waits, posted]
                                             { w->add (posted); });
            wait (1);
        }
    }

private:
    const juce::ReferenceCountedObjectPtr<Waits> waits;
};

void MessageThreadStallMeter::Waits::add (double postedMs)
{
    const auto now = juce::Time::getMillisecondCounterHiRes();
    ms.push_back (now - postedMs);

    if (ms.back() > longestMs)
    {
        longestMs = ms.back();
        longestAtMs = postedMs - startMs;
    }
}

MessageThreadStallMeter::MessageThreadStallMeter()
    : waits (new Waits())
    , pinger (std::make_unique<Pinger> (waits))
{
    JUCE_ASSERT_MESSAGE_THREAD
    pinger->startThread();
}

MessageThreadStallMeter::~MessageThreadStallMeter()
{
    pinger->signalThreadShouldExit();
    pinger->notify();
    pinger->waitForThreadToExit (-1);
}

MessageThreadStallMeter::Figures MessageThreadStallMeter::getFigures() const
{
    JUCE_ASSERT_MESSAGE_THREAD
    auto sorted = waits->ms;

    if (sorted.empty())
        return {};

    std::sort (sorted.begin(), sorted.end());
    return { waits->longestMs, waits->longestAtMs / 1000.0, sorted[(sorted.size() - 1) * 99 / 100], sorted.size() };
}

juce::String MessageThreadStallMeter::describe (const Figures& figures)
{
    return "longest " + juce::String (figures.longestMs, 1) + " ms (at " + juce::String (figures.longestAtSeconds, 1) + " s), 99th percentile " + juce::String (figures.percentile99Ms, 1) + " ms ("
           + juce::String ((juce::int64) figures.samples) + " samples)";
}
