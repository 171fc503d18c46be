#include "midi/AlsaSequencerEvents.h"

namespace
{
// The longest message that is not SysEx has three bytes.
constexpr size_t encoderBufferBytes = 16;
} // namespace

AlsaSequencerEvents::AlsaSequencerEvents()
{
    snd_midi_event_new (encoderBufferBytes, &encoder);
}

AlsaSequencerEvents::~AlsaSequencerEvents()
{
    if (encoder != nullptr)
        snd_midi_event_free (encoder);
}

bool AlsaSequencerEvents::isSysexData (const juce::uint8* data, int size)
{
    return size > 0 && (data[0] == 0xF0 || data[0] == 0xF7 || data[0] < 0x80);
}

std::vector<snd_seq_event_t> AlsaSequencerEvents::encode (const juce::uint8* data, int size)
{
    std::vector<snd_seq_event_t> events;

    if (isSysexData (data, size))
    {
        for (int offset = 0; offset < size; offset += maxSysexEventBytes)
        {
            snd_seq_event_t event;
            snd_seq_ev_clear (&event);
            snd_seq_ev_set_sysex (&event, (unsigned int) juce::jmin (maxSysexEventBytes, size - offset), const_cast<juce::uint8*> (data + offset));
            events.push_back (event);
        }

        return events;
    }

    if (encoder == nullptr)
        return events;

    snd_midi_event_reset_encode (encoder);

    for (long left = size; left > 0;)
    {
        snd_seq_event_t event;
        snd_seq_ev_clear (&event);
        const auto used = snd_midi_event_encode (encoder, data + (size - left), left, &event);

        if (used <= 0)
            break;

        left -= used;

        if (event.type != SND_SEQ_EVENT_NONE)
            events.push_back (event);
    }

    return events;
}
