#pragma once

#include <juce_core/juce_core.h>

class PrivateMidi;

/** Receives the bytes the driver captured on one port, on the client's capture thread. */
class PrivateMidiCaptureCallbackReceiver
{
public:
    /** The two words are the driver's own, passed through. With the stream flag set the
        bytes are a piece of a continuous byte stream; otherwise they are taken as they
        are (a whole message, or a 256-byte piece of a longer SysEx message).
    */
    virtual void midiDataCaptured (int port, const juce::uint8* data, int numBytes, juce::uint32 word1, juce::uint32 word2, bool streamFlag, PrivateMidi& midi) = 0;

protected:
    // Never deleted through this interface.
    ~PrivateMidiCaptureCallbackReceiver() = default;
};
