#include "platform/LinuxMidiPortNames.h"

juce::String LinuxMidiPortNames::toClassDriverName (const juce::String& alsaPortName, bool isInput)
{
    const auto product = alsaPortName.upToLastOccurrenceOf (" MIDI ", false, false).trim();
    const auto number = alsaPortName.fromLastOccurrenceOf (" MIDI ", false, false);

    if (! alsaPortName.contains (" MIDI ") || ! product.toUpperCase().contains ("MORELTA")
        || number.isEmpty() || ! number.containsOnly ("0123456789") || number.getIntValue() < 1)
        return alsaPortName;

    const auto n = number.getIntValue();

    if (n == 1)
        return product;

    return (isInput ? "MIDIIN" : "MIDIOUT") + juce::String (n) + " (" + product + ")";
}
