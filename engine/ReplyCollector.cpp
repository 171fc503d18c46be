#include "engine/ReplyCollector.h"

ReplyCollector::ReplyCollector (int count, Fits f, Callbacks c)
    : expected (count)
    , fits (std::move (f))
    , callbacks (std::move (c))
    , timeout ([this]
               { fallenQuiet(); })
    , inbox ([this] (EngineState::Message& m)
             { judge (m); })
{
    messages.reserve ((size_t) expected);
}

void ReplyCollector::begin (int firstReplyTimeoutMs, int replyTimeoutMs)
{
    silenceMs = replyTimeoutMs;
    beganMs = juce::Time::getMillisecondCounter();
    timeout.restart (firstReplyTimeoutMs);
}

void ReplyCollector::finish()
{
    ended = true;
    timeout.finish();
}

void ReplyCollector::heard (EngineState::Message message)
{
    // Any answer at all keeps the read alive, up to its longest.
    if (juce::Time::getMillisecondCounter() - beganMs.load() < (juce::uint32) longestReadMs)
        timeout.restart (silenceMs);

    inbox.post (std::move (message));
}

void ReplyCollector::judge (EngineState::Message& message)
{
    if (ended || spoiltBy.isNotEmpty())
        return;

    const auto place = (int) messages.size();

    if (place == expected)
        spoiltBy = "more than " + juce::String (expected) + " messages";
    else if (! fits (place, message))
        spoiltBy = "message " + juce::String (place + 1) + " is not the one due";

    if (spoiltBy.isNotEmpty())
    {
        waitForQuiet();
        return;
    }

    messages.push_back (std::move (message));
    callbacks.received (place + 1);

    if (place + 1 == expected)
        waitForQuiet();
}

void ReplyCollector::waitForQuiet()
{
    silenceMs = quietMs;
    timeout.restart (quietMs);
}

void ReplyCollector::fallenQuiet()
{
    // What was heard before now is judged before the verdict.
    inbox.flush();

    if (std::exchange (ended, true))
        return;

    if (spoiltBy.isEmpty() && (int) messages.size() == expected)
        callbacks.whole (std::move (messages));
    else
        callbacks.spoilt (spoiltBy.isNotEmpty() ? spoiltBy
                                                : (messages.empty() ? juce::String ("no answer")
                                                                    : "only " + juce::String (messages.size()) + " of " + juce::String (expected) + " messages"));
}
