#pragma once

#include "midi/MidiPortSystem.h"

/** The platform's MIDI ports, through JUCE's MidiInput and MidiOutput. */
class JuceMidiPortSystem final : public MidiPortSystem
{
public:
    JuceMidiPortSystem();

    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<InputPort> openInput (int index, juce::MidiInputCallback& callback) override;
    std::unique_ptr<OutputPort> openOutput (int index) override;

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (JuceMidiPortSystem)
};
