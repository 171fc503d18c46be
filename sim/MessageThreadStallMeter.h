#pragma once

#include <juce_events/juce_events.h>

#include <vector>

/** Measures how long the message thread keeps its callers waiting: a thread of its own
    posts a message every millisecond, and the message thread notes how late each one ran.
    A message posted while the thread is held up waits for as long as it is held up, so
    the longest wait is the longest stall, and the waits' percentiles are shares of time.
    Made, read and destroyed on the message thread.
*/
class MessageThreadStallMeter final
{
public:
    MessageThreadStallMeter();
    ~MessageThreadStallMeter();

    struct Figures
    {
        double longestMs = 0.0;
        double longestAtSeconds = 0.0; // after the meter started
        double percentile99Ms = 0.0;
        size_t samples = 0;
    };

    /** What the messages that have run so far found. */
    Figures getFigures() const;

    /** "longest 2.1 ms (at 12.3 s), 99th percentile 0.4 ms (61234 samples)" */
    static juce::String describe (const Figures& figures);

private:
    // Shared with the messages in flight, which may run after the meter has gone.
    struct Waits final : public juce::ReferenceCountedObject
    {
        const double startMs = juce::Time::getMillisecondCounterHiRes();
        std::vector<double> ms;
        double longestMs = 0.0, longestAtMs = 0.0;

        void add (double postedMs);
    };

    class Pinger;

    juce::ReferenceCountedObjectPtr<Waits> waits;
    std::unique_ptr<Pinger> pinger;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MessageThreadStallMeter)
};
