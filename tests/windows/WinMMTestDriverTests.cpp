// Raw WinMM calls through our test driver (winemorelta.drv, installed in the prefix by
// scripts/wine.sh) to a simulated keyboard in a process of its own (morelta-sim-keyboard):
// the bytes cross WinMM itself, as the updater's do on Windows.
//
// WinMM asks its driver for the device count once per process, on the first MIDI call,
// and the driver reads the keyboard process's port then: each test sets it before its
// first MIDI call, and CTest runs each test in a process of its own.

#include "sim/DriverLinkServer.h"
#include "sim/KeyboardProcess.h"
#include "sim/SimulatedKeyboard.h"
#include "sim/TrafficTrace.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mmsystem.h>

namespace
{
constexpr int timeoutMs = 10000;

/** The keyboard process beside the tests, with this process's driver pointed at it:
    before the test's first MIDI call, when the driver reads where to find it.
*/
struct Keyboard : KeyboardProcess
{
    explicit Keyboard (const juce::StringArray& options)
        : KeyboardProcess (options, 0, testsExecutableFolder().getChildFile (MORELTA_SIM_KEYBOARD_FROM_TESTS))
    {
        exportLinkPort();
    }

    static juce::File testsExecutableFolder() { return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory(); }
};

/** Waits for a header's MHDR_DONE; CALLBACK_EVENT sets the event for every callback. */
bool waitForDone (HANDLE event, const MIDIHDR& header, int waitMs = timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) waitMs;

    while ((header.dwFlags & MHDR_DONE) == 0)
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;

        WaitForSingleObject (event, 50);
    }

    return true;
}

/** A header over these bytes, prepared on an open output or input. */
struct Header
{
    explicit Header (std::vector<juce::uint8> b)
        : bytes (std::move (b))
    {
        header.lpData = reinterpret_cast<LPSTR> (bytes.data());
        header.dwBufferLength = (DWORD) bytes.size();
    }

    std::vector<juce::uint8> bytes;
    MIDIHDR header {};
};

juce::StringArray outputNamesOf (const juce::StringArray& keyboardOptions)
{
    SimulatedKeyboard::Settings settings;

    for (int i = 0; i + 1 < keyboardOptions.size(); i += 2)
        settings.applyOption (keyboardOptions[i], keyboardOptions[i + 1]);

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    return SimulatedKeyboard (ports, settings).getOutputNames();
}

/** A firmware block from the middle of a stream: Intel HEX text, no status byte. */
std::vector<juce::uint8> middleBlock()
{
    std::vector<juce::uint8> block (1024);

    for (size_t i = 0; i < block.size(); ++i)
        block[i] = (juce::uint8) ("0123456789ABCDEF:\r\n"[i % 19]);

    return block;
}

/** The first block of the app image's stream, as the keyboard in update mode knows it. */
std::vector<juce::uint8> streamStartBlock()
{
    std::vector<juce::uint8> block { 0xF0, 0x47, 0x00, 0x2E, 0x70 };
    const juce::String record (":020000040804EE\r\n");
    block.insert (block.end(), record.toRawUTF8(), record.toRawUTF8() + record.length());
    block.resize (1024, '0');
    return block;
}

const std::vector<juce::uint8> identityRequest { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 };

struct OpenOutput
{
    explicit OpenOutput (UINT id)
        : event (CreateEventA (nullptr, FALSE, FALSE, nullptr))
    {
        result = midiOutOpen (&handle, id, (DWORD_PTR) event, 0, CALLBACK_EVENT);
    }

    ~OpenOutput()
    {
        if (result == MMSYSERR_NOERROR)
        {
            midiOutReset (handle);
            midiOutClose (handle);
        }

        CloseHandle (event);
    }

    MMRESULT send (Header& h)
    {
        midiOutPrepareHeader (handle, &h.header, sizeof (MIDIHDR));
        return midiOutLongMsg (handle, &h.header, sizeof (MIDIHDR));
    }

    HANDLE event;
    HMIDIOUT handle = nullptr;
    MMRESULT result;
};

struct OpenInput
{
    explicit OpenInput (UINT id)
        : event (CreateEventA (nullptr, FALSE, FALSE, nullptr))
    {
        result = midiInOpen (&handle, id, (DWORD_PTR) event, 0, CALLBACK_EVENT);
    }

    ~OpenInput()
    {
        if (result == MMSYSERR_NOERROR)
        {
            midiInReset (handle);

            for (auto* h : added)
                midiInUnprepareHeader (handle, h, sizeof (MIDIHDR));

            midiInClose (handle);
        }

        CloseHandle (event);
    }

    MMRESULT add (Header& h)
    {
        added.push_back (&h.header);
        midiInPrepareHeader (handle, &h.header, sizeof (MIDIHDR));
        return midiInAddBuffer (handle, &h.header, sizeof (MIDIHDR));
    }

    DWORD dropped()
    {
        DWORD count = 0;
        midiInMessage (handle, DriverLinkProtocol::droppedInputQuery, (DWORD_PTR) &count, 0);
        return count;
    }

    HANDLE event;
    HMIDIIN handle = nullptr;
    MMRESULT result;
    std::vector<MIDIHDR*> added;
};

/** The slot of the input that carries the keyboard's answers: its third. */
constexpr UINT replyInput = 2;
} // namespace

TEST (WinMMTestDriver, ListsTheKeyboardsPortsInTheFirstSlotsAndEightSlotsEachWay)
{
    const juce::StringArray options { "--model", "61" };
    Keyboard keyboard (options);
    ASSERT_TRUE (keyboard.isRunning());

    ASSERT_EQ (midiOutGetNumDevs(), 8u);
    ASSERT_EQ (midiInGetNumDevs(), 8u);

    const auto names = outputNamesOf (options);

    for (UINT id = 0; id < 8; ++id)
    {
        MIDIOUTCAPS2W caps {};
        const auto result = midiOutGetDevCapsW (id, reinterpret_cast<MIDIOUTCAPSW*> (&caps), sizeof (caps));

        if ((int) id < names.size())
        {
            ASSERT_EQ (result, MMSYSERR_NOERROR) << id;
            EXPECT_EQ (juce::String (caps.szPname), names[(int) id]);
            EXPECT_EQ (std::memcmp (&caps.ProductGuid, &DriverLinkProtocol::productGuid, sizeof (GUID)), 0) << "our ports must be told from real ones";
        }
        else
        {
            // An empty slot: no device behind the ID, for caps and for opens alike.
            EXPECT_EQ (result, MMSYSERR_NODRIVER) << id;
            HMIDIOUT handle = nullptr;
            EXPECT_EQ (midiOutOpen (&handle, id, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER) << id;
        }
    }

    MIDIINCAPSW inCaps {};
    ASSERT_EQ (midiInGetDevCapsW (0, &inCaps, sizeof (inCaps)), MMSYSERR_NOERROR);
    EXPECT_EQ (juce::String (inCaps.szPname), "MORELTA61");
}

TEST (WinMMTestDriver, ABlockWithoutStatusByteReachesTheKeyboardByteForByteAndIsDoneOnlyOnceTaken)
{
    const auto trace = juce::File::createTempFile ("trace.jsonl");
    // 2048 bytes a second: the keyboard takes a 1024-byte block in half a second.
    Keyboard keyboard ({ "--trace", trace.getFullPathName(), "--link-rate", "2048" });
    ASSERT_TRUE (keyboard.isRunning());

    const auto block = middleBlock();

    {
        OpenOutput out (0);
        ASSERT_EQ (out.result, MMSYSERR_NOERROR);
        Header h (block);
        const auto sent = juce::Time::getMillisecondCounterHiRes();
        ASSERT_EQ (out.send (h), MMSYSERR_NOERROR);
        EXPECT_NE (h.header.dwFlags & MHDR_INQUEUE, 0u);
        ASSERT_TRUE (waitForDone (out.event, h.header));
        EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - sent, 450.0) << "done before the keyboard took it";
        EXPECT_EQ (h.header.dwFlags & MHDR_INQUEUE, 0u);
        EXPECT_EQ (midiOutUnprepareHeader (out.handle, &h.header, sizeof (MIDIHDR)), MMSYSERR_NOERROR);
    }

    ASSERT_TRUE (keyboard.quit());
    const auto lines = TrafficTrace::read (trace);
    ASSERT_EQ (lines.size(), 1u);
    EXPECT_TRUE (lines[0].toKeyboard);
    EXPECT_EQ (lines[0].port, "MORELTA49");
    EXPECT_EQ (lines[0].bytes, block);
    trace.deleteFile();
}

TEST (WinMMTestDriver, APortHasOneOpenerAndTheKeyboardProcessCanRefuseOpensAsBusy)
{
    Keyboard keyboard ({ "--driver-fault", "busy=1" });
    ASSERT_TRUE (keyboard.isRunning());

    // Held by "another program" once; then ours, and a second open is refused.
    EXPECT_EQ (OpenOutput (0).result, MMSYSERR_ALLOCATED);
    OpenOutput first (0);
    ASSERT_EQ (first.result, MMSYSERR_NOERROR);
    EXPECT_EQ (OpenOutput (0).result, MMSYSERR_ALLOCATED);
    OpenInput in (0);
    ASSERT_EQ (in.result, MMSYSERR_NOERROR);
    EXPECT_EQ (OpenInput (0).result, MMSYSERR_ALLOCATED);
}

TEST (WinMMTestDriver, TheIdentityReplyFillsTheOldestQueuedBufferUpToF7)
{
    Keyboard keyboard ({});
    ASSERT_TRUE (keyboard.isRunning());

    OpenInput in (replyInput);
    ASSERT_EQ (in.result, MMSYSERR_NOERROR);
    Header first (std::vector<juce::uint8> (256)), second (std::vector<juce::uint8> (256));
    ASSERT_EQ (in.add (first), MMSYSERR_NOERROR);
    ASSERT_EQ (in.add (second), MMSYSERR_NOERROR);
    ASSERT_EQ (midiInStart (in.handle), MMSYSERR_NOERROR);

    OpenOutput out (0);
    ASSERT_EQ (out.result, MMSYSERR_NOERROR);
    Header request (identityRequest);
    ASSERT_EQ (out.send (request), MMSYSERR_NOERROR);

    ASSERT_TRUE (waitForDone (in.event, first.header));
    const auto recorded = (size_t) first.header.dwBytesRecorded;
    ASSERT_GE (recorded, 6u);
    EXPECT_EQ (first.bytes[0], 0xF0);
    EXPECT_EQ (first.bytes[1], 0x7E);
    EXPECT_EQ (first.bytes[recorded - 1], 0xF7);
    EXPECT_EQ (std::count (first.bytes.begin(), first.bytes.begin() + (long) recorded, 0xF7), 1);
    EXPECT_NE (second.header.dwFlags & MHDR_INQUEUE, 0u) << "the next buffer waits for the next message";
    EXPECT_EQ (in.dropped(), 0u);

    ASSERT_EQ (midiInReset (in.handle), MMSYSERR_NOERROR);
    EXPECT_NE (second.header.dwFlags & MHDR_DONE, 0u) << "a reset returns every buffer";
    EXPECT_EQ (second.header.dwBytesRecorded, 0u);

    // As on Windows, a close with a buffer queued fails. Wine's midiInClose frees the
    // handle whatever the driver answers, so the driver keeps this buffer for good: it
    // lives as long as the process.
    static Header kept (std::vector<juce::uint8> (16));
    ASSERT_EQ (in.add (kept), MMSYSERR_NOERROR);
    EXPECT_EQ (midiInClose (in.handle), MIDIERR_STILLPLAYING);
    in.result = MMSYSERR_ERROR;
}

TEST (WinMMTestDriver, InputIsDroppedWhileNoBufferIsQueued)
{
    Keyboard keyboard ({});
    ASSERT_TRUE (keyboard.isRunning());

    OpenInput in (replyInput);
    ASSERT_EQ (in.result, MMSYSERR_NOERROR);
    ASSERT_EQ (midiInStart (in.handle), MMSYSERR_NOERROR);
    OpenOutput out (0);
    ASSERT_EQ (out.result, MMSYSERR_NOERROR);

    Header request (identityRequest);
    ASSERT_EQ (out.send (request), MMSYSERR_NOERROR);
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (in.dropped() == 0 && juce::Time::getMillisecondCounter() < end)
        Sleep (10);

    const auto dropped = in.dropped();
    ASSERT_GT (dropped, 0u);

    // A buffer queued later holds the next answer alone: the first was not kept back.
    Header buffer (std::vector<juce::uint8> (256));
    ASSERT_EQ (in.add (buffer), MMSYSERR_NOERROR);
    ASSERT_TRUE (waitForDone (out.event, request.header));
    request.header.dwFlags &= ~(DWORD) MHDR_DONE;
    ASSERT_EQ (midiOutLongMsg (out.handle, &request.header, sizeof (MIDIHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE (waitForDone (in.event, buffer.header));
    EXPECT_EQ (buffer.header.dwBytesRecorded, dropped);
    EXPECT_EQ (in.dropped(), dropped);
}

TEST (WinMMTestDriver, APortThatVanishesFailsCapsAndOpenAndGivesItsHeadersBack)
{
    // The keyboard pulls its cable when it sees the Identity Request.
    Keyboard keyboard ({ "--driver-fault", "unplug@identity:0" });
    ASSERT_TRUE (keyboard.isRunning());
    ASSERT_EQ (midiOutGetNumDevs(), 8u);

    OpenOutput out (0);
    ASSERT_EQ (out.result, MMSYSERR_NOERROR);
    Header request (identityRequest);
    ASSERT_EQ (out.send (request), MMSYSERR_NOERROR);
    ASSERT_TRUE (waitForDone (out.event, request.header));

    MIDIOUTCAPSW caps {};
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (midiOutGetDevCapsW (1, &caps, sizeof (caps)) == MMSYSERR_NOERROR && juce::Time::getMillisecondCounter() < end)
        Sleep (10);

    EXPECT_EQ (midiOutGetDevCapsW (0, &caps, sizeof (caps)), MMSYSERR_NODRIVER);
    EXPECT_EQ (midiOutGetDevCapsW (1, &caps, sizeof (caps)), MMSYSERR_NODRIVER);
    EXPECT_EQ (OpenOutput (1).result, MMSYSERR_NODRIVER);
    EXPECT_EQ (midiOutShortMsg (out.handle, 0x00403C90), MMSYSERR_NODRIVER);
}

TEST (WinMMTestDriver, ASlowDoneBlockIsDoneOnlyAfterItsDelayAndARefusedOneFails)
{
    Keyboard keyboard ({ "--emergency", "--driver-fault", "slow-done=1500@app-block:0", "--driver-fault", "refuse@app-block:1" });
    ASSERT_TRUE (keyboard.isRunning());

    OpenOutput out (0);
    ASSERT_EQ (out.result, MMSYSERR_NOERROR);
    Header start (streamStartBlock()), next (middleBlock());
    const auto sent = juce::Time::getMillisecondCounterHiRes();
    ASSERT_EQ (out.send (start), MMSYSERR_NOERROR);
    ASSERT_TRUE (waitForDone (out.event, start.header));
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - sent, 1500.0);

    EXPECT_EQ (out.send (next), MMSYSERR_ERROR);
    EXPECT_EQ (next.header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), 0u) << "a refused header stays the application's";
    EXPECT_EQ (midiOutClose (out.handle), MMSYSERR_NOERROR);
    out.result = MMSYSERR_ERROR;
}
