#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <mutex>
#include <vector>

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
    TrafficTrace (const juce::File& file, std::function<juce::int64()> microsecondClock);

    bool isOpen() const noexcept { return stream != nullptr; }

    /** One line of a trace. */
    struct Line
    {
        juce::int64 microseconds;
        bool toKeyboard;
        juce::String port;
        std::vector<juce::uint8> bytes;
    };

    /** Reads back a complete trace file; lines that are not of this format are skipped. */
    static std::vector<Line> read (const juce::File& file);

    /** Stamps the line when it is written, so that the file is in time order whichever
        thread writes.
    */
    void write (bool toKeyboard, const juce::String& portName, const juce::uint8* data, size_t size);

private:
    const std::function<juce::int64()> clock;
    std::mutex mutex;
    std::unique_ptr<juce::FileOutputStream> stream;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (TrafficTrace)
};
