#pragma once

#include <juce_core/juce_core.h>

#include <mutex>

/** The simulated keyboard's traffic written as JSON Lines, one object per write:
    {"t_us": 1234, "dir": "to_keyboard", "port": "MORELTA49", "hex": "F07E7F0601F7"}
    Other tools read this format, so it stays as it is.
*/
class TrafficTrace final
{
public:
    /** Starts a new trace file, replacing one that exists. The file is complete once
        the trace is deleted.
    */
    explicit TrafficTrace (const juce::File& file);

    bool isOpen() const noexcept { return stream != nullptr; }

    void write (juce::int64 microseconds, bool toKeyboard, const juce::String& portName, const juce::uint8* data, size_t size);

private:
    std::mutex mutex;
    std::unique_ptr<juce::FileOutputStream> stream;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TrafficTrace)
};
