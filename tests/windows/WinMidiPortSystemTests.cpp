// The WinMM port system through Wine's winmm and our WinMM test driver (winemorelta.drv),
// whose ports are those of a simulated keyboard in a process of its own
// (morelta-sim-keyboard.exe, started here). The driver reads the keyboard's link port once,
// when winmm first loads it in a process: each test starts one keyboard, and CTest runs
// each test in a process of its own.

#include "../KeyboardTestHelpers.h"
#include "engine/DeviceMessages.h"
#include "midi/WinMidiPortSystem.h"
#include "sim/DriverLinkProtocol.h"
#include "sim/KeyboardProcess.h"
#include "sim/TrafficTrace.h"

#include <gtest/gtest.h>

#include <windows.h>

using test::Bytes;

namespace
{
/** morelta-sim-keyboard.exe with these options, linked to this process's driver, with
    a trace of what it received.
*/
class Keyboard
{
public:
    explicit Keyboard (juce::StringArray options)
    {
        // Chosen by the first keyboard, then kept: the driver reads it once per process.
        static int linkPort = 0;

        options.addArray ({ "--trace", traceFile.getFile().getFullPathName() });
        process = std::make_unique<KeyboardProcess> (options, linkPort, juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory().getChildFile (MORELTA_SIM_KEYBOARD_FROM_TESTS));

        if (process->isRunning() && linkPort == 0)
        {
            linkPort = process->getLinkPort();
            process->exportLinkPort();
        }
    }

    bool isRunning() const { return process->isRunning(); }

    /** Ends the keyboard process; its trace is complete then. */
    void quit() { process->quit(); }

    /** What the keyboard received, one write each, in order; ends the keyboard. */
    std::vector<Bytes> writesTo (const juce::String& port)
    {
        quit();
        std::vector<Bytes> writes;

        for (auto& line : TrafficTrace::read (traceFile.getFile()))
            if (line.toKeyboard && line.port == port)
                writes.push_back (line.bytes);

        return writes;
    }

private:
    const juce::TemporaryFile traceFile { ".jsonl" };
    std::unique_ptr<KeyboardProcess> process;
};

/** Waits until the port system lists this output, as the driver sees the keyboard. */
bool waitForOutput (WinMidiPortSystem& ports, const juce::String& name)
{
    for (int waited = 0; waited < 20000; waited += 20)
    {
        if (ports.getOutputNames().contains (name))
            return true;

        Sleep (20);
    }

    return false;
}

juce::MidiMessage messageOf (const Bytes& bytes)
{
    return juce::MidiMessage (bytes.data(), (int) bytes.size());
}

Bytes textBytes (const char* text, size_t size)
{
    Bytes bytes (size);

    for (size_t i = 0; i < size; ++i)
        bytes[i] = (juce::uint8) text[i % std::strlen (text)];

    return bytes;
}

/** The first block of the app image's stream, as the keyboard's block count knows it. */
Bytes firstAppBlock()
{
    Bytes block { 0xF0, 0x47, 0x00, 0x2E, 0x70 };
    const auto text = textBytes (":020000040804F2\r\n", 1019);
    block.insert (block.end(), text.begin(), text.end());
    return block;
}

/** A block from the middle of a stream: Intel HEX text, no status byte at all. */
Bytes middleBlock()
{
    return textBytes (":10000000A0B1C2D3E4F5A6B7C8D9EAFB0C1D2E3F40\r\n", 1024);
}

const char* const keyboard = "MORELTA49";

/** A keyboard process and the port system that sees its ports; the port system is made
    once the keyboard has given the driver its link port.
*/
struct Rig
{
    explicit Rig (juce::StringArray options = {})
        : keys (std::move (options))
    {
    }

    /** Whether the keyboard runs and its ports are listed. */
    bool ready() { return keys.isRunning() && waitForOutput (*ports, keyboard); }

    Keyboard keys;
    WinMidiPortSystem::Ptr ports = new WinMidiPortSystem();
};

bool hasErrorContaining (const WinMidiPortSystem& ports, const juce::String& text)
{
    for (auto& line : ports.getErrors())
        if (line.contains (text))
            return true;

    return false;
}

/** The errors met beyond the driver's empty device IDs, whose capabilities fail. */
juce::String errorsBeyondEmptyIds (const WinMidiPortSystem& ports)
{
    juce::StringArray errors;

    for (auto& line : ports.getErrors())
        if (! line.contains ("GetDevCaps (device "))
            errors.add (line);

    return errors.joinIntoString ("\n");
}
} // namespace

TEST (WinMidiPortSystemUnderWine, ListsTheKeyboardsPortsAndOpensTheDeviceIdEachWasListedUnder)
{
    Rig rig;
    ASSERT_TRUE (rig.ready());

    EXPECT_EQ (rig.ports->getInputNames(), juce::StringArray ({ "MORELTA49", "MIDIIN2 (MORELTA49)", "MIDIIN3 (MORELTA49)" }));
    EXPECT_EQ (rig.ports->getOutputNames(), juce::StringArray ({ "MORELTA49", "MIDIOUT2 (MORELTA49)", "MIDIOUT3 (MORELTA49)" }));
    EXPECT_EQ (rig.ports->getListedDeviceIds (false), (std::vector<unsigned int> { 0, 1, 2 }));
    EXPECT_FALSE (rig.ports->reachesHardware()); // only our test driver's ports

    // Held open over the keyboard's restart into its update mode: the driver keeps its
    // device ID, which no longer reports a device, and the keyboard's ports come back
    // under the next ones. A list position (JUCE's) would now open the dead ID 0.
    auto held = rig.ports->openOutput (0);
    ASSERT_NE (held, nullptr);
    ASSERT_TRUE (held->sendMessageNow (messageOf (*DeviceMessages::buildEnterUpdateMode (0x2E))));

    std::vector<unsigned int> ids;

    for (int waited = 0; waited < 20000 && (ids.empty() || ids.front() == 0); waited += 20)
    {
        Sleep (20);
        ids = rig.ports->getOutputNames().contains (keyboard) ? rig.ports->getListedDeviceIds (false) : std::vector<unsigned int> {};
    }

    ASSERT_EQ (rig.ports->getOutputNames(), juce::StringArray ({ "MORELTA49", "MIDIOUT2 (MORELTA49)", "MIDIOUT3 (MORELTA49)" }));
    EXPECT_EQ (ids, (std::vector<unsigned int> { 1, 2, 3 }));
    EXPECT_TRUE (hasErrorContaining (*rig.ports, "midiOutGetDevCaps (device 0): MMSYSERR_NODRIVER"));
    EXPECT_FALSE (held->sendMessageNow (messageOf (DeviceMessages::buildIdentityRequest())));

    // What the update log gets: Wine's winmm loads its drivers itself, as classic WinMM does.
    const auto log = rig.ports->describeForLog();
    EXPECT_TRUE (log[0].startsWith ("MIDI stack: classic WinMM drivers, midisrv service ")) << log[0];
    EXPECT_TRUE (log.contains ("MIDI output 1 \"MORELTA49\"")) << log.joinIntoString ("\n");

    // Each listed port opens its own device.
    const Bytes toFirst { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 }, toThird { 0xF0, 0x7D, 0x03, 0xF7 };
    auto first = rig.ports->openOutput (0);
    auto third = rig.ports->openOutput (2);
    ASSERT_NE (first, nullptr);
    ASSERT_NE (third, nullptr);
    EXPECT_TRUE (first->sendMessageNow (messageOf (toFirst)));
    EXPECT_TRUE (third->sendMessageNow (messageOf (toThird)));
    first.reset();
    third.reset();
    held.reset();

    const auto writes = rig.keys.writesTo (keyboard);
    ASSERT_FALSE (writes.empty());
    EXPECT_EQ (writes.back(), toFirst);
    EXPECT_EQ (rig.keys.writesTo ("MIDIOUT3 (MORELTA49)"), std::vector<Bytes> { toThird });
}

TEST (WinMidiPortSystemUnderWine, APortAnotherProgramHoldsFailsItsOpenAtOnce)
{
    Rig rig ({ "--driver-fault", "busy" });
    ASSERT_TRUE (rig.ready());

    struct Callback final : public juce::MidiInputCallback
    {
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override {}
    } callback;

    EXPECT_EQ (rig.ports->openOutput (0), nullptr);
    rig.ports->getInputNames();
    EXPECT_EQ (rig.ports->openInput (0, callback), nullptr);

    // Tried once each, not again and again with pauses (the port manager retries later).
    const auto errors = rig.ports->getErrors();
    EXPECT_TRUE (errors.contains ("midiOutOpen (output 0 \"MORELTA49\"): MMSYSERR_ALLOCATED")) << errors.joinIntoString ("\n");
    EXPECT_TRUE (errors.contains ("midiInOpen (input 0 \"MORELTA49\"): MMSYSERR_ALLOCATED")) << errors.joinIntoString ("\n");
}

TEST (WinMidiPortSystemUnderWine, BlocksOfAnyKindArriveByteForByteInHeadersOfAtMost1024Bytes)
{
    Rig rig;
    ASSERT_TRUE (rig.ready());
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);

    // A stream's first block, one from its middle, its last two bytes (no status byte:
    // not a short message), a SysEx message longer than one header, and a note.
    const Bytes tail { 0x0A, 0xF7 }, note { 0x90, 0x40, 0x7F };
    Bytes longMessage { 0xF0 };
    const auto text = textBytes ("0123456789ABCDEF", 2498);
    longMessage.insert (longMessage.end(), text.begin(), text.end());
    longMessage.push_back (0xF7);

    for (auto& bytes : { firstAppBlock(), middleBlock(), tail, longMessage, note })
        EXPECT_TRUE (output->sendMessageNow (messageOf (bytes)));

    output.reset();
    const auto expected = std::vector<Bytes> { firstAppBlock(), middleBlock(), tail, Bytes (longMessage.begin(), longMessage.begin() + 1024), Bytes (longMessage.begin() + 1024, longMessage.begin() + 2048), Bytes (longMessage.begin() + 2048, longMessage.end()), note };
    EXPECT_EQ (rig.keys.writesTo (keyboard), expected);
    EXPECT_EQ (errorsBeyondEmptyIds (*rig.ports), "");
}

TEST (WinMidiPortSystemUnderWine, ABlockTheDriverNeverCompletesFailsTheSendWithinItsBound)
{
    Rig rig ({ "--driver-fault", "never-done@app-block:1" });
    ASSERT_TRUE (rig.ready());
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);

    ASSERT_TRUE (output->sendMessageNow (messageOf (firstAppBlock())));
    const auto before = juce::Time::getMillisecondCounterHiRes();
    EXPECT_FALSE (output->sendMessageNow (messageOf (middleBlock())));
    const auto tookMs = juce::Time::getMillisecondCounterHiRes() - before;

    // Never before 3 s; the upper bound only ends a hang, with room for a loaded machine.
    EXPECT_GE (tookMs, 3000.0);
    EXPECT_LT (tookMs, WinMidiPortSystem::sendTimeoutMs (1024) + 15000.0);
    EXPECT_TRUE (hasErrorContaining (*rig.ports, "midiOutLongMsg not done within 3328 ms"));

    // The reset gave the header back: the port takes the next block.
    EXPECT_TRUE (output->sendMessageNow (messageOf (middleBlock())));
}

TEST (WinMidiPortSystemUnderWine, ABlockTheDriverRefusesFailsTheSend)
{
    Rig rig ({ "--driver-fault", "refuse@app-block:1" });
    ASSERT_TRUE (rig.ready());
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);

    EXPECT_TRUE (output->sendMessageNow (messageOf (firstAppBlock())));
    EXPECT_FALSE (output->sendMessageNow (messageOf (middleBlock())));
    EXPECT_TRUE (rig.ports->getErrors().contains ("midiOutLongMsg (output 0 \"MORELTA49\"): MMSYSERR_ERROR")) << rig.ports->getErrors().joinIntoString ("\n");

    output.reset();
    EXPECT_EQ (rig.keys.writesTo (keyboard), std::vector<Bytes> { firstAppBlock() });
}

TEST (WinMidiPortSystemUnderWine, WholePresetDumpsArriveWithNoReplyLost)
{
    Rig rig;
    ASSERT_TRUE (rig.ready());

    struct Counter final : public juce::MidiInputCallback
    {
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& m) override
        {
            if (DeviceMessages::isPresetData (DeviceMessages::bytesOf (m), 0x2E))
                ++presetData;
        }

        std::atomic<int> presetData { 0 };
    } counter;

    std::vector<std::unique_ptr<MidiPortSystem::InputPort>> inputs;
    const auto inputCount = rig.ports->getInputNames().size();

    for (int i = 0; i < inputCount; ++i)
    {
        inputs.push_back (rig.ports->openInput (i, counter));
        ASSERT_NE (inputs.back(), nullptr);
    }

    rig.ports->getOutputNames();
    auto output = rig.ports->openOutput (0);
    ASSERT_NE (output, nullptr);

    // An identity reply to an input not started yet is dropped, and the update log says so.
    const auto losses = [&]
    {
        juce::StringArray lines;

        for (auto& line : rig.ports->describeForLog())
            if (line.startsWith ("MIDI input ") && line.contains (" callbacks lost"))
                lines.add (line);

        return lines;
    };
    const auto someDropped = [&]
    {
        for (auto& line : losses())
            if (! line.endsWith (", 0 bytes dropped by the driver"))
                return true;

        return false;
    };

    ASSERT_TRUE (output->sendMessageNow (messageOf (DeviceMessages::buildIdentityRequest())));

    for (int waited = 0; waited < 10000 && ! someDropped(); waited += 20)
        Sleep (20);

    const auto lossesBefore = losses();
    EXPECT_EQ (lossesBefore.size(), inputCount);
    EXPECT_TRUE (someDropped()) << lossesBefore.joinIntoString ("\n");

    for (auto& line : lossesBefore)
        EXPECT_TRUE (line.contains (": 0 callbacks lost, ")) << line;

    for (auto& input : inputs)
        input->start();

    // Four dumps asked for at once: the keyboard answers them back to back, with no pause.
    constexpr int presets = 4;

    for (int p = 0; p < presets; ++p)
    {
        ASSERT_TRUE (output->sendMessageNow (messageOf (*DeviceMessages::buildPresetSelect (0x2E, p))));
        ASSERT_TRUE (output->sendMessageNow (messageOf (*DeviceMessages::buildPresetDumpRequest (0x2E))));
    }

    for (int waited = 0; waited < 30000 && counter.presetData < presets * 384; waited += 20)
        Sleep (20);

    Sleep (200);
    EXPECT_EQ (counter.presetData.load(), presets * 384);
    EXPECT_EQ (losses(), lossesBefore);

    inputs.clear();
    EXPECT_EQ (errorsBeyondEmptyIds (*rig.ports), "");
}
