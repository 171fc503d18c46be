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

std::vector<TrafficTrace::Line> TrafficTrace::read (const juce::File& file)
{
    std::vector<Line> lines;
    juce::FileInputStream in (file);

    if (in.failedToOpen())
        return lines;

    // Written by hand rather than by a JSON parser: the firmware's lines make a trace of
    // tens of megabytes.
    while (! in.isExhausted())
    {
        const auto text = in.readNextLine();
        const auto time = text.fromFirstOccurrenceOf ("{\"t_us\": ", false, false);
        const auto dir = text.fromFirstOccurrenceOf ("\"dir\": \"", false, false).upToFirstOccurrenceOf ("\"", false, false);
        const auto port = juce::JSON::fromString (text.fromFirstOccurrenceOf ("\"port\": ", false, false).upToLastOccurrenceOf (", \"hex\": ", false, false));
        const auto hex = text.fromLastOccurrenceOf ("\"hex\": \"", false, false).upToFirstOccurrenceOf ("\"", false, false);

        if (time.isEmpty() || ! port.isString() || (dir != "to_keyboard" && dir != "from_keyboard") || hex.length() % 2 != 0)
            continue;

        Line line { time.getLargeIntValue(), dir == "to_keyboard", port.toString(), {} };
        line.bytes.reserve ((size_t) hex.length() / 2);

        for (auto p = hex.getCharPointer(); ! p.isEmpty();)
        {
            const auto high = juce::CharacterFunctions::getHexDigitValue (p.getAndAdvance());
            const auto low = juce::CharacterFunctions::getHexDigitValue (p.getAndAdvance());
            line.bytes.push_back ((juce::uint8) (high << 4 | low));
        }

        lines.push_back (std::move (line));
    }

    return lines;
}
