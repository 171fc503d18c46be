#pragma once

#include "midi/MidiPortSystem.h"

#include <memory>
#include <mutex>
#include <vector>

/** The computer's MIDI ports on Windows, through WinMM directly. Windows only.

    JUCE's WinMM backend opens ports by their position in its own list, which is not the
    device ID once a device before the keyboard fails to report its capabilities; falls
    back to the GS synthesizer for a port no longer listed; ignores what the driver says
    of a long message and waits for its completion for ever; and re-queues a few small
    input buffers from inside the driver's callback. Here:

    - ports are listed by device ID, with the names their capabilities give (identical
      names get "-2", "-3" as JUCE gives them, so that names users rely on stay the same);
      a device whose capabilities cannot be read is left out without moving the others;
    - an open takes the device ID that the index had in the list taken last, checks that
      the device there still reports the same capabilities, and opens nothing else; a port
      that another program holds fails at once;
    - every message but a short one goes out with midiOutLongMsg, at most maxBytesPerHeader
      at a time, on a buffer the port owns; each header's completion is awaited on an
      event within sendTimeoutMs, and a header not done by then is reset and the send
      fails; every WinMM result is checked;
    - inputs queue enough buffers for a whole preset dump and re-queue them on a thread of
      their own, which also assembles the messages and delivers them.

    Each WinMM error met is kept for the update log (describeForLog).
*/
class WinMidiPortSystem final : public MidiPortSystem
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<WinMidiPortSystem>;

    /** The most bytes one midiOutLongMsg carries. Windows 11's MIDI service refuses a
        SysEx call over 2048 bytes; a longer message goes out in several headers.
    */
    static constexpr int maxBytesPerHeader = 1024;

    /** A DIN MIDI link's rate, which no driver is expected to beat by much. */
    static constexpr int linkBytesPerSecond = 3125;

    /** How long one header of this many bytes may take to be done: 3 s, plus its time on
        a MIDI link. A block that a loaded machine was slow to complete (over 2.3 s was
        seen) must not end a firmware transfer; a driver that never completes one is
        found out a second later, which changes nothing for the user.
    */
    static constexpr int sendTimeoutMs (int bytes) { return 3000 + (bytes * 1000 + linkBytesPerSecond - 1) / linkBytesPerSecond; }

    /** Input buffers, per open input. The driver hands back one buffer per SysEx message,
        at its F7. A preset dump is 384 replies back to back, and the thread that queues
        the buffers again may not run at all during a dump on a loaded machine: with a
        buffer per reply of a whole dump queued, plus room for the replies around it, no
        reply waits for a buffer. A reply is 16 bytes (the Identity Reply 35); a message
        longer than a buffer continues in the next one.
    */
    static constexpr int inputBufferCount = 512;
    static constexpr int inputBufferBytes = 256;

    enum class MidiStack
    {
        classicDrivers,     // WinMM's own drivers
        windowsMidiServices // WinMM on Windows MIDI Services (wdmaud2.drv and midisrv)
    };

    WinMidiPortSystem();
    ~WinMidiPortSystem() override;

    /** What the machine's WinMM runs on; readable without administrator rights. */
    static MidiStack findMidiStack();

    bool reachesHardware() const override;
    juce::StringArray describeForLog() override;
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<InputPort> openInput (int index, juce::MidiInputCallback& callback) override;
    std::unique_ptr<OutputPort> openOutput (int index) override;

    /** The WinMM errors met so far, one line each; any thread. */
    juce::StringArray getErrors() const;

    /** The WinMM device IDs of the ports in the list taken last, in its order. */
    std::vector<unsigned int> getListedDeviceIds (bool inputs) const;

    /** A record of WinMM errors, shared with the open ports; thread-safe. */
    class ErrorRecord;

    /** One port as listed: its device ID, the name shown and what its capabilities say. */
    struct ListedPort;

private:
    class WinInputPort;
    class WinOutputPort;

    static std::vector<ListedPort> listPorts (bool inputs, ErrorRecord* errors);
    juce::StringArray list (bool inputs);
    std::unique_ptr<ListedPort> takeListed (int index, bool inputs) const;

    const std::shared_ptr<ErrorRecord> errors;
    const MidiStack stack;

    mutable std::mutex listMutex;
    std::vector<ListedPort> listedInputs, listedOutputs;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinMidiPortSystem)
};
