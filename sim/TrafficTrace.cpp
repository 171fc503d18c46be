#include "sim/TrafficTrace.h"

TrafficTrace::TrafficTrace (const juce::File& file)
{
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    stream = std::make_unique<juce::FileOutputStream> (file, 1 << 20);

    if (stream->failedToOpen())
        stream.reset();
}

void TrafficTrace::write (juce::int64 microseconds, bool toKeyboard, const juce::String& portName, const juce::uint8* data, size_t size)
{
    static const char* const digits = "0123456789ABCDEF";

    // Written on the sending thread, so kept cheap: one string, no flush per line.
    std::string line;
    line.reserve (size * 2 + 128);
    line += "{\"t_us\": " + std::to_string (microseconds);
    line += toKeyboard ? ", \"dir\": \"to_keyboard\", \"port\": " : ", \"dir\": \"from_keyboard\", \"port\": ";
    line += juce::JSON::toString (portName).toStdString();
    line += ", \"hex\": \"";

    for (size_t i = 0; i < size; ++i)
    {
        line += digits[data[i] >> 4];
        line += digits[data[i] & 15];
    }

    line += "\"}\n";

    const std::lock_guard<std::mutex> guard (mutex);

    if (stream != nullptr)
        stream->write (line.data(), line.size());
}
