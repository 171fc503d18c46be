#pragma once

#include "engine/BackupTimeout.h"
#include "engine/EngineState.h"
#include "engine/MessageThreadInbox.h"

#include <atomic>

/** Collects one answer of the keyboard that must come as exactly so many SysEx messages
    in a row, each fitting its place, followed by a quiet time with nothing more. The
    messages are heard on the MIDI input thread and judged on the message thread, in the
    order they came.

    Anything else spoils the read: a message too many, one missing, one that does not fit
    its place. A spoilt read still waits for the keyboard to fall quiet, so that the rest
    of its answer cannot run into the next read.
*/
class ReplyCollector final
{
public:
    using Messages = std::vector<EngineState::Message>;
    using Fits = std::function<bool (int place, const EngineState::Message&)>;

    struct Callbacks
    {
        std::function<void (int messages)> received; // after each message that fits
        std::function<void (Messages)> whole;
        std::function<void (juce::String why)> spoilt;
    };

    // The keyboard sends a dump's messages a few milliseconds apart. The quiet time is many
    // times that gap and several ticks of the Windows scheduler (15.6 ms), so that a message
    // the system doubles or hands over late still falls inside it.
    static constexpr int quietMs = 100;

    // However much keeps arriving, a read ends this long after it began: a dump takes
    // about a second.
    static constexpr int longestReadMs = 30000;

    ReplyCollector (int expected, Fits fits, Callbacks callbacks);

    /** Waits for the first message; message thread. */
    void begin (int firstReplyTimeoutMs, int replyTimeoutMs);

    /** Nothing more is judged or reported. */
    void finish();

    /** A SysEx message was heard; MIDI input thread. */
    void heard (EngineState::Message message);

private:
    void judge (EngineState::Message& message);
    void waitForQuiet();
    void fallenQuiet();

    const int expected;
    const Fits fits;
    const Callbacks callbacks;
    std::atomic<int> silenceMs { 0 };
    std::atomic<juce::uint32> beganMs { 0 };
    BackupTimeout timeout;
    MessageThreadInbox<EngineState::Message> inbox;

    // Message thread only.
    Messages messages;
    juce::String spoiltBy;
    bool ended = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ReplyCollector)
};
