#pragma once

#include "engine/EngineTypes.h"

#include <juce_core/juce_core.h>

#include <optional>

/** What the names Windows gives the keyboard's MIDI ports tell: its model, which of them
    are its first and third ports, and how many keyboards a list of names belongs to.

    The namings known:
    - the class driver's: "MORELTA49" for the first port each way, then "MIDIIN2 (MORELTA49)",
      "MIDIIN3 (MORELTA49)", "MIDIOUT2 (MORELTA49)", ...;
    - the maker's private driver's: "MORELTA49 USB PORT 1" to "MORELTA49 USB PORT 3", its
      answers reaching the computer through the driver's own capture;
    - Windows' newer style, after the device's own jacks: "MORELTA49 MIDI", ...

    Windows numbers a second instance of an identical device, and often the same keyboard
    plugged into another USB socket: WinMM puts "2- " in front of the device's name, in
    every port's name ("2- MORELTA49", "MIDIIN3 (2- MORELTA49)"; some builds of Windows
    MIDI Services write "2 - "), the newer style puts " (2)" after it ("MORELTA49 (2) MIDI").
    So the first port is never assumed to be the bare model name: it is read from the
    names listed.
*/
class KeyboardPortNames final
{
public:
    /** The keyboard's ports among those listed. */
    struct Keyboard
    {
        juce::String port1;         // its first output, as listed; its first input has the same name
        juce::String port3;         // the input its answers come on; empty while not known
        juce::StringArray inputs;   // the inputs to open, where its answers may come
        bool privateDriver = false; // its answers come through the maker's private driver
        int model = HardwareModel::unknown;
    };

    /** The model whose name this port name carries, exactly as written. */
    static int modelOf (const juce::String& portName);

    /** Finds a keyboard among the ports, as detection does: the first input (in the
        system's order) named by the private driver or as the class driver's third port
        gives it; else, in the newer style, the first output that carries a model's name.
        With a model given, only names that carry that model count.
    */
    static std::optional<Keyboard> find (const juce::StringArray& inputs, const juce::StringArray& outputs, int model = HardwareModel::unknown);

    /** How many keyboards these output names belong to: one per model, and one more for
        each further port under a name listed already once the numbering is taken off
        ("2- MORELTA49", "MORELTA49 (2) MIDI", "MORELTA49-2", or the same name twice).
    */
    static int countKeyboards (const juce::StringArray& outputNames);

private:
    KeyboardPortNames() = delete;
};
