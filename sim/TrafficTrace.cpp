#include "sim/TrafficTrace.h"

TrafficTrace::TrafficTrace (const juce::File& file)
{
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    stream = std::make_unique<juce::FileOutputStream> (file);

    if (stream->failedToOpen())
        stream.reset();
}

void TrafficTrace::write (juce::int64 microseconds, bool toKeyboard, const juce::String& portName, const juce::uint8* data, size_t size)
{
    static const char* const digits = "0123456789ABCDEF";

    std::string hex;
    hex.reserve (size * 2);

    for (size_t i = 0; i < size; ++i)
    {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 15];
    }

    const auto line = juce::String ("{\"t_us\": ") + juce::String (microseconds)
                    + ", \"dir\": \"" + (toKeyboard ? "to_keyboard" : "from_keyboard")
                    + "\", \"port\": " + juce::JSON::toString (portName)
                    + ", \"hex\": \"" + juce::String (hex) + "\"}\n";

    const std::lock_guard<std::mutex> guard (mutex);

    if (stream != nullptr)
    {
        stream->writeText (line, false, false, nullptr);
        stream->flush();
    }
}
