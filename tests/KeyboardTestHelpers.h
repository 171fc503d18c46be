#pragma once

#include "TestHelpers.h"
#include "sim/SimulatedKeyboard.h"

namespace test
{
using Bytes = std::vector<juce::uint8>;

inline Bytes bytesOf (const juce::MidiMessage& m)
{
    return { m.getRawData(), m.getRawData() + m.getRawDataSize() };
}

/** The computer's side of a cable to the simulated keyboard, with raw bytes only. */
class Computer
{
public:
    struct Received
    {
        juce::String port;
        Bytes bytes;
    };

    Computer (VirtualMidiPortSystem& p, const SimulatedKeyboard& keyboard)
        : ports (p)
    {
        for (auto& name : keyboard.getInputNames())
            inputNames.add (name);

        outputName = keyboard.getOutputNames()[0];
        connect();
    }

    /** Opens the keyboard's ports as they are listed now. */
    void connect()
    {
        inputs.clear();
        output.reset();

        for (auto& name : inputNames)
        {
            auto index = ports.getInputNames().indexOf (name);

            if (index < 0)
                continue;

            auto callback = std::make_unique<Callback> (*this, name);
            auto input = ports.openInput (index, *callback);
            input->start();
            inputs.push_back ({ std::move (callback), std::move (input) });
        }

        const auto outIndex = ports.getOutputNames().indexOf (outputName);

        if (outIndex >= 0)
            output = ports.openOutput (outIndex);
    }

    void send (const Bytes& bytes)
    {
        if (output != nullptr)
            output->sendMessageNow (juce::MidiMessage (bytes.data(), (int) bytes.size()));
    }

    /** Waits until this many messages have arrived in all. */
    bool waitForMessages (size_t count, int timeoutMs = 5000)
    {
        return pumpUntil ([&]
                          { return received.size() >= count; },
                          timeoutMs);
    }

    bool keyboardListed() const { return ports.getOutputNames().contains (outputName); }

    SharedList<Received> received;

private:
    struct Callback final : public juce::MidiInputCallback
    {
        Callback (Computer& c, const juce::String& n)
            : computer (c)
            , name (n)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& m) override
        {
            computer.received.add ({ name, bytesOf (m) });
        }

        Computer& computer;
        const juce::String name;
    };

    struct Input
    {
        std::unique_ptr<Callback> callback;
        std::unique_ptr<MidiPortSystem::InputPort> port;
    };

    VirtualMidiPortSystem& ports;
    juce::StringArray inputNames;
    juce::String outputName;
    std::vector<Input> inputs;
    std::unique_ptr<MidiPortSystem::OutputPort> output;
};

/** What the pauses of a whole update looked like from the keyboard's side. */
struct PauseCheck
{
    int globalRequests = 0, blocks = 0, restoredGlobals = 0, restoredPresetMessages = 0;
    juce::String problem; // the first pause cut short; empty when none was
};

/** Checks, by the trace's own clock, every pause the keyboard's flash needs: Global
    Requests at least 1 ms apart, the blocks of each firmware image 1 ms, the global
    settings sent back 2 ms and the preset messages sent back 3 ms. A pause is never
    shorter than asked, so these bounds hold on any machine.
*/
inline PauseCheck checkPauses (const std::vector<TrafficTrace::Line>& trace)
{
    PauseCheck result;
    // Each kind's last time; -1 before its first.
    juce::int64 lastRequest = -1, lastBlock = -1, lastGlobal = -1, lastPreset = -1;
    bool inImage = false, afterFirmware = false, checking = false;

    auto gap = [&result] (juce::int64& last, juce::int64 now, int minimumUs, const char* what)
    {
        if (last >= 0 && now - last < minimumUs && result.problem.isEmpty())
            result.problem = juce::String (what) + " only " + juce::String (now - last) + " us apart, at " + juce::String (now) + " us";

        last = now;
    };

    for (auto& line : trace)
    {
        const auto& b = line.bytes;

        if (! line.toKeyboard || b.empty())
            continue;

        auto isMaker = [&b] (std::initializer_list<juce::uint8> commandAndLength)
        {
            return b.size() >= 8 && b[0] == 0xF0 && b[1] == 0x47 && b[2] == 0x00
                   && std::equal (commandAndLength.begin(), commandAndLength.end(), b.begin() + 4);
        };

        // Each image is paced on its own: it starts with its SysEx header and ends with F7.
        if (b.size() >= 5 && isMaker ({}) && b[3] == 0x2E && b[4] == 0x70)
        {
            inImage = afterFirmware = true;
            lastBlock = -1;
        }

        // After the restore, its check reads everything back: requests, not the user's data.
        checking = checking || (afterFirmware && isMaker ({ 0x04, 0x02, 0x00, 0x01 }));
        const auto restoring = afterFirmware && ! checking;

        if (inImage)
        {
            gap (lastBlock, line.microseconds, 1000, "firmware blocks");
            ++result.blocks;
            inImage = b.back() != 0xF7;
        }
        else if (! checking && isMaker ({ 0x04, 0x02, 0x00, 0x01 }))
        {
            gap (lastRequest, line.microseconds, 1000, "Global Requests");
            ++result.globalRequests;
        }
        else if (restoring && isMaker ({ 0x04, 0x02, 0x00, 0x05 }))
        {
            gap (lastGlobal, line.microseconds, 2000, "restored global settings");
            ++result.restoredGlobals;
        }
        else if (restoring && (isMaker ({ 0x04, 0x01 }) || isMaker ({ 0x04, 0x07 }) || isMaker ({ 0x04, 0x08 })))
        {
            gap (lastPreset, line.microseconds, 3000, "restored preset messages");
            ++result.restoredPresetMessages;
        }
    }

    return result;
}

/** A small, valid firmware stream for one image, as our own test data: a few data
    records at the start of the image's flash range, the end marker at its top, the
    end-of-file record, F7.
*/
inline Bytes makeFirmwareStream (bool assets, int dataRecords = 40, juce::uint32 dataStart = 0)
{
    const juce::uint32 first = assets ? 0x08100000 : 0x08040000;
    dataStart = dataStart != 0 ? dataStart : first;
    const juce::uint32 last = assets ? 0x084FFFFF : 0x080FFFFF;
    juce::String text;

    auto record = [&text] (int type, juce::uint32 address, const Bytes& payload)
    {
        Bytes r { (juce::uint8) payload.size(), (juce::uint8) (address >> 8), (juce::uint8) address, (juce::uint8) type };
        r.insert (r.end(), payload.begin(), payload.end());
        juce::uint8 sum = 0;

        for (auto b : r)
            sum = (juce::uint8) (sum + b);

        r.push_back ((juce::uint8) -sum);

        if (text.isNotEmpty())
            text << "\r\n";

        text << ":" << juce::String::toHexString (r.data(), (int) r.size(), 0).toLowerCase();
    };

    record (4, 0, { (juce::uint8) (first >> 24), (juce::uint8) (first >> 16) });

    if (dataStart >> 16 != first >> 16)
        record (4, 0, { (juce::uint8) (dataStart >> 24), (juce::uint8) (dataStart >> 16) });

    for (int i = 0; i < dataRecords; ++i)
    {
        Bytes payload (16);

        for (int j = 0; j < 16; ++j)
            payload[(size_t) j] = (juce::uint8) (i * 7 + j);

        record (0, (dataStart & 0xFFFF) + (juce::uint32) i * 16, payload);
    }

    record (4, 0, { (juce::uint8) (last >> 24), (juce::uint8) (last >> 16) });
    record (0, 0xFFFC, { 0x78, 0x56, 0x34, 0x12 });
    record (1, 0, {});

    Bytes stream { 0xF0, 0x47, 0x00, 0x2E, 0x70 };
    stream.insert (stream.end(), text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    stream.push_back (0xF7);
    return stream;
}

/** The stream cut into writes of this size, as the updater sends it. */
inline std::vector<Bytes> cutIntoWrites (const Bytes& stream, size_t size)
{
    std::vector<Bytes> writes;

    for (size_t pos = 0; pos < stream.size(); pos += size)
        writes.emplace_back (stream.begin() + (long) pos, stream.begin() + (long) std::min (stream.size(), pos + size));

    return writes;
}
} // namespace test
