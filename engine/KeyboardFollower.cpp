#include "engine/KeyboardFollower.h"

#include "engine/DetectDeviceInfo.h"

KeyboardFollower::KeyboardFollower (MidiManager& manager)
    : midiManager (manager)
{
}

void KeyboardFollower::startWaiting()
{
    inputsBefore = midiManager.getInputNames();
    outputsBefore = midiManager.getOutputNames();
}

std::optional<KeyboardPortNames::Keyboard> KeyboardFollower::seek (int model)
{
    const auto allOutputs = midiManager.getOutputNames();
    juce::StringArray inputs, outputs;

    for (auto& name : midiManager.getInputNames())
        if (! inputsBefore.contains (name))
            inputs.add (name);

    for (auto& name : allOutputs)
        if (! outputsBefore.contains (name))
            outputs.add (name);

    ambiguous = KeyboardPortNames::countKeyboards (allOutputs) > 1;
    const auto found = KeyboardPortNames::find (inputs, outputs, model);

    // Its inputs may be listed a moment before its outputs: only a first port listed now.
    if (ambiguous || ! found.has_value() || ! allOutputs.contains (found->port1))
        return {};

    // Taken once: should it be another keyboard after all, it is not taken again.
    inputsBefore.addArray (inputs);
    outputsBefore.addArray (outputs);
    followedPorts = found->inputs;
    followedPorts.addIfNotAlreadyThere (found->port1);
    ApplicationEngine::DetectDeviceInfo::openPorts (midiManager, *found);
    return found;
}

void KeyboardFollower::letGo()
{
    for (auto& name : std::exchange (followedPorts, {}))
        midiManager.closePorts (name);
}
