#include "sim/TrafficTrace.h"

TrafficTrace::TrafficTrace (const juce::File& file, std::function<juce::int64()> microsecondClock)
    : clock (std::move (microsecondClock))
{
    file.getParentDirectory().createDirectory();
    file.deleteFile();
    stream = std::make_unique<juce::FileOutputStream> (file, 1 << 20);

    if (stream->failedToOpen())
        stream.reset();
}

void TrafficTrace::write (bool toKeyboard, const juce::String& portName, const juce::uint8* data, size_t size)
{
    static const char* const digits = "0123456789ABCDEF";

    // Written on the sending thread, so kept cheap: one string, no flush per line. Only
    // the time stamp is taken under the lock, to keep the file in time order.
    std::string rest;
    rest.reserve (size * 2 + 96);
    rest += toKeyboard ? ", \"dir\": \"to_keyboard\", \"port\": " : ", \"dir\": \"from_keyboard\", \"port\": ";
    rest += juce::JSON::toString (portName).toStdString();
    rest += ", \"hex\": \"";

    for (size_t i = 0; i < size; ++i)
    {
        rest += digits[data[i] >> 4];
        rest += digits[data[i] & 15];
    }

    rest += "\"}\n";

    const std::lock_guard<std::mutex> guard (mutex);

    if (stream != nullptr)
    {
        const auto start = "{\"t_us\": " + std::to_string (clock());
        stream->write (start.data(), start.size());
        stream->write (rest.data(), rest.size());
    }
}
