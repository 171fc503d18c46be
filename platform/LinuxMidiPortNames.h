#pragma once

#include <juce_core/juce_core.h>

/** On Linux, JUCE lists each MIDI port under its ALSA sequencer port name, and ALSA's
    USB MIDI driver names the ports of a class-compliant device "<product> MIDI <n>".
    The updater finds the keyboard by the names the Windows class driver gives, so a
    MORELTA keyboard's ports are presented under those: port 1 as the product name,
    port n as "MIDIIN<n> (<product>)" or "MIDIOUT<n> (<product>)". Other ports keep
    their names.
*/
class LinuxMidiPortNames final
{
public:
    static juce::String toClassDriverName (const juce::String& alsaPortName, bool isInput);

private:
    LinuxMidiPortNames() = delete;
};
