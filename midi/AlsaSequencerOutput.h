#pragma once

#include "midi/AlsaSequencerEvents.h"
#include "midi/MidiPortSystem.h"

/** An output to one ALSA sequencer port that sends SysEx data byte for byte (see
    AlsaSequencerEvents), through a sequencer client of its own. Linux only.
*/
class AlsaSequencerOutput final : public MidiPortSystem::OutputPort
{
public:
    /** Connects to the port "client-port" as JUCE identifies it; null when that fails. */
    static std::unique_ptr<AlsaSequencerOutput> open (const juce::String& juceIdentifier);

    ~AlsaSequencerOutput() override;

    /** Returns once the sequencer has taken every event of the message, or has refused
        one: true only when it took them all.
    */
    bool sendMessageNow (const juce::MidiMessage& message) override;

    /** There is no background thread: every send is immediate. */
    void stopBackgroundThread() override {}

private:
    AlsaSequencerOutput (snd_seq_t* sequencer, int port);

    snd_seq_t* const sequencer;
    const int port;
    AlsaSequencerEvents encoder;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (AlsaSequencerOutput)
};
