#include "midi/PrivateMidiInput.h"

// JUCE keeps its byte-stream assembler among its platform MIDI sources; the header has no
// guard of its own, so it is included here only.
#include <juce_audio_basics/midi/juce_MidiDataConcatenator.h>

#include <cstdio>

const char* const PrivateMidiInput::failedToOpenText = "Failed to open all available ports!!!!\n";

PrivateMidiInput::PrivateMidiInput (juce::MidiInputCallback& c)
    : assembler (std::make_unique<juce::MidiDataConcatenator> (4096))
    , callback (c)
{
}

std::unique_ptr<PrivateMidiInput> PrivateMidiInput::create (PrivateDriverSystem::Ptr system, const PrivateDeviceDescriptor& descriptor, juce::MidiInputCallback& callback)
{
    std::unique_ptr<PrivateMidiInput> input (new PrivateMidiInput (callback));
    input->captureBuffers.calloc ((size_t) (PrivateMidi::numPorts * PrivateMidi::captureBufferSize));
    input->midi = std::make_unique<PrivateMidi> (std::move (system), descriptor);
    input->midi->setAttachedStateReceiver (input.get());
    return input;
}

PrivateMidiInput::~PrivateMidiInput()
{
    midi->setAttachedStateReceiver (nullptr);
    midi.reset();
}

void PrivateMidiInput::deviceAttachedStateChanged (bool isNowAttached, PrivateMidi& client)
{
    attached = isNowAttached;

    if (! isNowAttached)
    {
        // What was half assembled when the keyboard went cannot be finished by what it
        // sends once it is back.
        const juce::ScopedLock sl (assemblerLock);
        assembler->reset();
        return;
    }

    juce::uint32 captureCount = 0, renderCount = 0;

    if (! client.getCapturePortCount (captureCount))
        captureCount = 0;
    else if (! client.getRenderPortCount (renderCount))
        renderCount = 0;

    // Ports from 32 on are refused anyway; a count beyond them is still compared below.
    const auto capturePorts = (int) juce::jmin (captureCount, (juce::uint32) PrivateMidi::numPorts);
    const auto renderPorts = (int) juce::jmin (renderCount, (juce::uint32) PrivateMidi::numPorts);

    for (int port = 0; port < capturePorts; ++port)
        client.setCaptureBuffer (port, this, captureBuffers + port * PrivateMidi::captureBufferSize);

    juce::uint32 capturesOpened = 0, rendersOpened = 0;

    for (int port = 0; port < capturePorts; ++port)
        if (client.openCapturePort (port) >= 0)
            ++capturesOpened;

    for (int port = 0; port < renderPorts; ++port)
        if (client.openRenderPort (port) >= 0)
            ++rendersOpened;

    if (capturesOpened != captureCount || rendersOpened != renderCount)
    {
        std::fputs (failedToOpenText, stdout);
        std::fflush (stdout);
    }

    if (client.isDeviceOpen())
        client.confirmPortsOpened();
}

void PrivateMidiInput::midiDataCaptured (int, const juce::uint8* data, int numBytes, juce::uint32, juce::uint32, bool streamFlag, PrivateMidi&)
{
    const auto time = juce::Time::getMillisecondCounterHiRes() * 0.001;
    const juce::ScopedLock delivery (deliveryLock);

    if (streamFlag)
    {
        const juce::ScopedLock sl (assemblerLock);
        assembler->pushMidiData (data, numBytes, time, static_cast<juce::MidiInput*> (nullptr), callback);
    }
    else
    {
        callback.handleIncomingMidiMessage (nullptr, juce::MidiMessage (data, numBytes, time));
    }
}
