#pragma once

#include "midi/PrivateMidi.h"

#include <juce_audio_devices/juce_audio_devices.h>

namespace juce
{
class MidiDataConcatenator;
}

/** The keyboard's input through the maker's private driver: turns the chunks its client
    captures into MIDI messages for a callback (the port manager), with a null source.

    Whenever the driver reports the instance attached, it opens all of the instance's
    ports. Messages reach the callback on the client's capture thread, one at a time.
*/
class PrivateMidiInput final : public PrivateMidiAttachedStateCallbackReceiver,
                               public PrivateMidiCaptureCallbackReceiver
{
public:
    /** Written to the standard output when an attach leaves a port closed. */
    static const char* const failedToOpenText;

    /** Never fails: a detached instance starts working once the driver attaches it. An
        attached one has its ports open when this returns.
    */
    static std::unique_ptr<PrivateMidiInput> create (PrivateDriverSystem::Ptr system, const PrivateDeviceDescriptor& descriptor, juce::MidiInputCallback& callback);

    /** No call reaches the callback once this has begun to return. */
    ~PrivateMidiInput();

    const PrivateDeviceDescriptor& getDescriptor() const noexcept { return midi->getDescriptor(); }

    /** Whether the driver last reported the instance attached. */
    bool isAttached() const noexcept { return attached.load(); }

    void deviceAttachedStateChanged (bool isNowAttached, PrivateMidi& client) override;
    void midiDataCaptured (int port, const juce::uint8* data, int numBytes, juce::uint32 word1, juce::uint32 word2, bool streamFlag, PrivateMidi& client) override;

private:
    explicit PrivateMidiInput (juce::MidiInputCallback& callback);

    juce::HeapBlock<juce::uint8> captureBuffers; // one of 256 bytes per capture port
    std::unique_ptr<juce::MidiDataConcatenator> assembler;
    std::unique_ptr<PrivateMidi> midi;
    juce::MidiInputCallback& callback;
    std::atomic<bool> attached { false };
    juce::CriticalSection deliveryLock, assemblerLock;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PrivateMidiInput)
};
