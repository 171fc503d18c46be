#include "platform/LinuxMidiPortNames.h"

#include <gtest/gtest.h>

// ALSA's USB MIDI driver names the sequencer ports of a class-compliant device
// "<product> MIDI <n>", and JUCE lists them under that name.
TEST (LinuxMidiPortNames, AKeyboardsPortsTakeTheClassDriversNames)
{
    EXPECT_EQ (LinuxMidiPortNames::toClassDriverName ("MORELTA49 MIDI 1", true), "MORELTA49");
    EXPECT_EQ (LinuxMidiPortNames::toClassDriverName ("MORELTA49 MIDI 1", false), "MORELTA49");
    EXPECT_EQ (LinuxMidiPortNames::toClassDriverName ("MORELTA49 MIDI 2", true), "MIDIIN2 (MORELTA49)");
    EXPECT_EQ (LinuxMidiPortNames::toClassDriverName ("MORELTA61 MIDI 3", true), "MIDIIN3 (MORELTA61)");
    EXPECT_EQ (LinuxMidiPortNames::toClassDriverName ("MORELTA25 MIDI 3", false), "MIDIOUT3 (MORELTA25)");
}

TEST (LinuxMidiPortNames, OtherPortsKeepTheirNames)
{
    for (auto* name : { "Midi Through Port-0", "Other Synth MIDI 2", "MORELTA49 MIDI x", "MORELTA49 MIDI 0", "MORELTA49", "MORELTA49 MIDI " })
    {
        EXPECT_EQ (LinuxMidiPortNames::toClassDriverName (name, true), name);
        EXPECT_EQ (LinuxMidiPortNames::toClassDriverName (name, false), name);
    }
}
