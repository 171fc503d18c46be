#include "midi/JuceMidiPortSystem.h"

#include "platform/AlsaErrorSilencer.h"
#include "platform/LinuxMidiPortNames.h"

#if JUCE_LINUX
#include "midi/AlsaSequencerOutput.h"
#endif

namespace
{
juce::StringArray namesOf (const juce::Array<juce::MidiDeviceInfo>& devices, [[maybe_unused]] bool inputs)
{
    juce::StringArray names;

    for (auto& device : devices)
    {
#if JUCE_LINUX
        names.add (LinuxMidiPortNames::toClassDriverName (device.name, inputs));
#else
        names.add (device.name);
#endif
    }

    return names;
}

class JuceInputPort final : public MidiPortSystem::InputPort
{
public:
    explicit JuceInputPort (std::unique_ptr<juce::MidiInput> in)
        : input (std::move (in))
    {
    }

    void start() override { input->start(); }
    void stop() override { input->stop(); }
    juce::MidiInput* getSource() override { return input.get(); }

private:
    std::unique_ptr<juce::MidiInput> input;
};

class JuceOutputPort final : public MidiPortSystem::OutputPort
{
public:
    explicit JuceOutputPort (std::unique_ptr<juce::MidiOutput> out)
        : output (std::move (out))
    {
    }

    // JUCE's send reports nothing: a message it was handed counts as sent.
    bool sendMessageNow (const juce::MidiMessage& message) override
    {
        output->sendMessageNow (message);
        return true;
    }
    void stopBackgroundThread() override { output->stopBackgroundThread(); }

private:
    std::unique_ptr<juce::MidiOutput> output;
};
} // namespace

JuceMidiPortSystem::JuceMidiPortSystem()
{
    AlsaErrorSilencer::install();
}

juce::StringArray JuceMidiPortSystem::getInputNames()
{
    return namesOf (juce::MidiInput::getAvailableDevices(), true);
}

juce::StringArray JuceMidiPortSystem::getOutputNames()
{
    return namesOf (juce::MidiOutput::getAvailableDevices(), false);
}

std::unique_ptr<MidiPortSystem::InputPort> JuceMidiPortSystem::openInput (int index, juce::MidiInputCallback& callback)
{
    auto devices = juce::MidiInput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return {};

    try
    {
        if (auto input = juce::MidiInput::openDevice (devices.getReference (index).identifier, &callback))
            return std::make_unique<JuceInputPort> (std::move (input));
    }
    catch (const std::exception&)
    {
        // Some platform drivers throw from their open; that is a failed open like any other.
    }

    return {};
}

std::unique_ptr<MidiPortSystem::OutputPort> JuceMidiPortSystem::openOutput (int index)
{
    auto devices = juce::MidiOutput::getAvailableDevices();

    if (! juce::isPositiveAndBelow (index, devices.size()))
        return {};

#if JUCE_LINUX
    // JUCE's ALSA output drops every firmware block but the first of each image.
    return AlsaSequencerOutput::open (devices.getReference (index).identifier);
#else
    if (auto output = juce::MidiOutput::openDevice (devices.getReference (index).identifier))
        return std::make_unique<JuceOutputPort> (std::move (output));

    return {};
#endif
}
