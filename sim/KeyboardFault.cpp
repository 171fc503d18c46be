#include "sim/KeyboardFault.h"

namespace
{
const std::pair<KeyboardFault::Kind, const char*> kindNames[] = {
    { KeyboardFault::Kind::unplug, "unplug" },
    { KeyboardFault::Kind::silent, "silent" },
    { KeyboardFault::Kind::malformed, "malformed" },
    { KeyboardFault::Kind::noReturn, "no-return" },
    { KeyboardFault::Kind::lateReturn, "late-return" },
    { KeyboardFault::Kind::pause, "pause" },
    { KeyboardFault::Kind::drop, "drop" },
    { KeyboardFault::Kind::bounce, "bounce" },
    { KeyboardFault::Kind::unseen, "unseen" },
    { KeyboardFault::Kind::doubled, "double" },
    { KeyboardFault::Kind::corrupt, "corrupt" },
};

// The number of indices each point takes.
const std::tuple<KeyboardFault::Point, const char*, int> pointNames[] = {
    { KeyboardFault::Point::identity, "identity", 1 },
    { KeyboardFault::Point::global, "global", 1 },
    { KeyboardFault::Point::preset, "preset", 2 },
    { KeyboardFault::Point::appBlock, "app-block", 1 },
    { KeyboardFault::Point::assetsBlock, "assets-block", 1 },
    { KeyboardFault::Point::restore, "restore", 1 },
    { KeyboardFault::Point::updateMode, "update-mode", 0 },
    { KeyboardFault::Point::reboot, "reboot", 0 },
};

const std::pair<KeyboardFault::Malformation, const char*> malformationNames[] = {
    { KeyboardFault::Malformation::wrongLength, "wrong-length" },
    { KeyboardFault::Malformation::wrongModel, "wrong-model" },
    { KeyboardFault::Malformation::nonSysex, "non-sysex" },
    { KeyboardFault::Malformation::duplicate, "duplicate" },
    { KeyboardFault::Malformation::truncated, "truncated" },
    { KeyboardFault::Malformation::foreign, "foreign" },
};

bool isCount (const juce::String& s)
{
    return s.isNotEmpty() && s.containsOnly ("0123456789") && s.length() < 9;
}
} // namespace

std::optional<KeyboardFault> KeyboardFault::parse (const juce::String& fullText)
{
    KeyboardFault fault;
    const juce::String repeatSuffix (",repeat");
    fault.repeats = fullText.endsWith (repeatSuffix);
    const auto text = fault.repeats ? fullText.dropLastCharacters (repeatSuffix.length()) : fullText;
    const auto what = text.upToFirstOccurrenceOf ("@", false, false).trim();
    const auto where = text.fromFirstOccurrenceOf ("@", false, false).trim();
    const auto kindName = what.upToFirstOccurrenceOf ("=", false, false);
    const auto value = what.fromFirstOccurrenceOf ("=", false, false);

    if (! text.contains ("@"))
        return {};

    const auto kind = std::find_if (std::begin (kindNames), std::end (kindNames), [&] (auto& k)
                                    { return kindName == k.second; });

    if (kind == std::end (kindNames))
        return {};

    fault.kind = kind->first;

    switch (fault.kind)
    {
        case Kind::malformed:
        {
            const auto m = std::find_if (std::begin (malformationNames), std::end (malformationNames), [&] (auto& n)
                                         { return value == n.second; });

            if (m == std::end (malformationNames))
                return {};

            fault.malformation = m->first;
            break;
        }

        case Kind::lateReturn:
        case Kind::pause:
        case Kind::bounce:
            if (! isCount (value))
                return {};

            fault.delayMs = value.getIntValue();
            break;

        case Kind::unplug:
            if (what.contains ("=") && ! isCount (value))
                return {};

            fault.delayMs = value.getIntValue();
            break;

        case Kind::silent:
        case Kind::noReturn:
        case Kind::drop:
        case Kind::unseen:
        case Kind::doubled:
        case Kind::corrupt:
            if (what.contains ("="))
                return {};

            break;
    }

    auto parts = juce::StringArray::fromTokens (where, ":", {});
    const auto point = std::find_if (std::begin (pointNames), std::end (pointNames), [&] (auto& p)
                                     { return parts[0] == std::get<1> (p); });

    if (point == std::end (pointNames) || parts.size() != std::get<2> (*point) + 1)
        return {};

    fault.point = std::get<0> (*point);

    for (int i = 1; i < parts.size(); ++i)
        if (! isCount (parts[i]))
            return {};

    fault.index = parts[1].getIntValue();
    fault.subIndex = parts[2].getIntValue();

    const auto returns = fault.point == Point::updateMode || fault.point == Point::reboot;

    const auto aboutTheReturn = fault.kind == Kind::noReturn || fault.kind == Kind::lateReturn;
    const auto atARestart = aboutTheReturn || fault.kind == Kind::unplug || fault.kind == Kind::drop || fault.kind == Kind::bounce || fault.kind == Kind::unseen;

    if ((aboutTheReturn && ! returns) || (returns && ! atARestart))
        return {};

    const auto isAnswer = fault.point == Point::identity || fault.point == Point::global || fault.point == Point::preset;

    if ((fault.kind == Kind::malformed || fault.kind == Kind::pause || fault.kind == Kind::doubled) && ! isAnswer)
        return {};

    if ((fault.kind == Kind::drop && (fault.point == Point::identity || fault.point == Point::reboot)) || (fault.kind == Kind::corrupt && fault.point != Point::restore))
        return {};

    if ((fault.kind == Kind::bounce && fault.point != Point::updateMode) || (fault.kind == Kind::unseen && fault.point != Point::reboot))
        return {};

    if (fault.repeats && ! fault.isPassing())
        return {};

    return fault;
}

juce::String KeyboardFault::toString() const
{
    juce::String text;

    for (auto& [k, name] : kindNames)
        if (k == kind)
            text << name;

    if (kind == Kind::malformed)
        for (auto& [m, name] : malformationNames)
            if (m == malformation)
                text << "=" << name;

    if (kind == Kind::lateReturn || kind == Kind::pause || kind == Kind::bounce || (kind == Kind::unplug && delayMs > 0))
        text << "=" << delayMs;

    for (auto& [p, name, indices] : pointNames)
    {
        if (p == point)
        {
            text << "@" << name;

            if (indices > 0)
                text << ":" << index;

            if (indices > 1)
                text << ":" << subIndex;
        }
    }

    if (repeats)
        text << ",repeat";

    return text;
}
