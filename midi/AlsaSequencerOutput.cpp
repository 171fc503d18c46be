#include "midi/AlsaSequencerOutput.h"

std::unique_ptr<AlsaSequencerOutput> AlsaSequencerOutput::open (const juce::String& juceIdentifier)
{
    const auto destClient = juceIdentifier.upToFirstOccurrenceOf ("-", false, false);
    const auto destPort = juceIdentifier.fromFirstOccurrenceOf ("-", false, false);

    if (! destClient.containsOnly ("0123456789") || ! destPort.containsOnly ("0123456789") || destClient.isEmpty() || destPort.isEmpty())
        return {};

    snd_seq_t* sequencer = nullptr;

    if (snd_seq_open (&sequencer, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0)
        return {};

    snd_seq_set_client_name (sequencer, "MORELTA Firmware Updater");

    // Readable by us alone: a port others could subscribe to would be listed as an input.
    const auto port = snd_seq_create_simple_port (sequencer, "firmware", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);

    if (port < 0 || snd_seq_connect_to (sequencer, port, destClient.getIntValue(), destPort.getIntValue()) < 0)
    {
        snd_seq_close (sequencer);
        return {};
    }

    return std::unique_ptr<AlsaSequencerOutput> (new AlsaSequencerOutput (sequencer, port));
}

AlsaSequencerOutput::AlsaSequencerOutput (snd_seq_t* s, int p)
    : sequencer (s)
    , port (p)
{
}

AlsaSequencerOutput::~AlsaSequencerOutput()
{
    snd_seq_close (sequencer);
}

bool AlsaSequencerOutput::sendMessageNow (const juce::MidiMessage& message)
{
    const auto events = encoder.encode (message.getRawData(), message.getRawDataSize());

    // A message the encoder makes no event of (no bytes) has not gone out.
    if (events.empty())
        return false;

    for (auto event : events)
    {
        snd_seq_ev_set_source (&event, (unsigned char) port);
        snd_seq_ev_set_subs (&event);
        snd_seq_ev_set_direct (&event);

        if (snd_seq_event_output_direct (sequencer, &event) < 0)
            return false;
    }

    return true;
}
