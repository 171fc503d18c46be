#pragma once

#include <juce_core/juce_core.h>

#include <alsa/asoundlib.h>
#include <vector>

/** How messages for the keyboard become ALSA sequencer events, byte for byte. Linux only.

    JUCE's ALSA output runs every message through ALSA's MIDI event encoder and resets the
    encoder after each one. A firmware block from the middle of the long SysEx message that
    carries an image starts with no status byte, so the encoder makes no event of it and
    the block is lost: a keyboard would get the first block of each image and nothing more.
    Here SysEx data (a message that starts with F0, or with a data byte as the rest of one
    does, or with its closing F7) becomes raw SysEx events that carry the bytes unchanged;
    other messages go through the encoder, as in JUCE.
*/
class AlsaSequencerEvents final
{
public:
    /** The most bytes one SysEx event carries: a firmware block, well within what the
        sequencer takes in one write.
    */
    static constexpr int maxSysexEventBytes = 1024;

    AlsaSequencerEvents();
    ~AlsaSequencerEvents();

    /** The events of one message, in order, with no source or destination set. SysEx
        events point into the data, which must outlive them.
    */
    std::vector<snd_seq_event_t> encode (const juce::uint8* data, int size);

    /** Whether these bytes travel as raw SysEx events. */
    static bool isSysexData (const juce::uint8* data, int size);

private:
    snd_midi_event_t* encoder = nullptr;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlsaSequencerEvents)
};
