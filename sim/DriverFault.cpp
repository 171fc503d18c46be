#include "sim/DriverFault.h"

std::optional<DriverFault> DriverFault::parse (const juce::String& text)
{
    const auto head = text.upToFirstOccurrenceOf ("@", false, false);
    const auto kindName = head.upToFirstOccurrenceOf ("=", false, false);
    const auto valueText = head.fromFirstOccurrenceOf ("=", false, false);
    const auto hasValue = head.contains ("=");
    const auto hasPoint = text.contains ("@");

    if (hasValue && (valueText.isEmpty() || ! valueText.containsOnly ("0123456789")))
        return {};

    DriverFault fault;

    if (kindName == "busy" && ! hasPoint)
    {
        fault.kind = Kind::busy;
        fault.value = hasValue ? valueText.getIntValue() : -1;
        return fault;
    }

    if (kindName == "slow-done" && hasValue)
        fault.kind = Kind::slowDone;
    else if ((kindName == "refuse" || kindName == "never-done") && ! hasValue)
        fault.kind = kindName == "refuse" ? Kind::refuse : Kind::neverDone;
    else
        return {};

    fault.value = valueText.getIntValue();

    // The points are the keyboard's own: read with its parser, firmware blocks only.
    const auto point = KeyboardFault::parse ("unplug@" + text.fromFirstOccurrenceOf ("@", false, false));

    if (! hasPoint || ! point.has_value()
        || (point->point != KeyboardFault::Point::appBlock && point->point != KeyboardFault::Point::assetsBlock))
        return {};

    fault.block = { point->point, point->index };
    return fault;
}
