#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>
#include <mutex>

#include <functional>

namespace test
{
/** Bounds of the waits: only there so that a hung test ends. They are far beyond what a
    sanitizer build on a loaded two-core machine takes, as no test may fail for being slow.
*/
constexpr int stepTimeoutMs = 30000;    // a step of the protocol, a detection tick, a port poll
constexpr int updateTimeoutMs = 900000; // whole updates, two side by side under ThreadSanitizer among other tests

/** Runs the message loop until the condition holds; false if it still does not after
    the timeout.
*/
inline bool pumpUntil (const std::function<bool()>& condition, int timeoutMs = stepTimeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return condition();

        juce::MessageManager::getInstance()->runDispatchLoopUntil (2);
    }

    return true;
}

/** Waits for a condition that other threads bring about while the message loop stands
    still, so that what they post to it stays queued, in order; false after the timeout.
*/
inline bool waitWithoutPumping (const std::function<bool()>& condition, int timeoutMs = updateTimeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition() && juce::Time::getMillisecondCounter() <= end)
        juce::Thread::sleep (5);

    return condition();
}

/** Runs the message loop until everything posted to it so far has been delivered, and
    what that posted in turn, for a few rounds; however slow the machine.
*/
inline void pumpPending (int rounds = 3)
{
    for (int i = 0; i < rounds; ++i)
    {
        auto delivered = std::make_shared<std::atomic<bool>> (false);
        juce::MessageManager::callAsync ([delivered]
                                         { *delivered = true; });
        pumpUntil ([delivered]
                   { return delivered->load(); });
    }
}

/** Runs the message loop for a while, to show that something does not happen. */
inline void pumpFor (int milliseconds)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
}

inline bool isMessageThread()
{
    return juce::MessageManager::getInstance()->isThisTheMessageThread();
}

inline juce::MidiMessage sysex (std::initializer_list<juce::uint8> bytes)
{
    std::vector<juce::uint8> data (bytes);
    return juce::MidiMessage (data.data(), (int) data.size());
}

/** A 35-byte Identity Reply as the keyboard sends it, with these four version digits. */
inline std::vector<juce::uint8> identityReply (std::initializer_list<juce::uint8> versionDigits, juce::uint8 modelCode = 0x2E)
{
    std::vector<juce::uint8> reply (35, 0x00);
    const juce::uint8 head[] = { 0xF0, 0x7E, 0x00, 0x06, 0x02, 0x47, modelCode, 0x19, 0x00 };
    std::copy (std::begin (head), std::end (head), reply.begin());
    std::copy (versionDigits.begin(), versionDigits.end(), reply.begin() + 9);
    reply.back() = 0xF7;
    return reply;
}

/** A thread-safe list of values that tests wait on from the message thread. */
template <typename T>
class SharedList
{
public:
    void add (const T& value)
    {
        const std::lock_guard<std::mutex> guard (mutex);
        items.push_back (value);
    }

    std::vector<T> get() const
    {
        const std::lock_guard<std::mutex> guard (mutex);
        return items;
    }

    size_t size() const { return get().size(); }

    void clear()
    {
        const std::lock_guard<std::mutex> guard (mutex);
        items.clear();
    }

private:
    mutable std::mutex mutex;
    std::vector<T> items;
};
} // namespace test
