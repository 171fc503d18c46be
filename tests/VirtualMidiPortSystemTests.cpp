#include "TestHelpers.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

namespace
{
struct Received
{
    juce::MidiMessage message;
    bool onMessageThread;
};

class CollectingCallback final : public juce::MidiInputCallback
{
public:
    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override
    {
        EXPECT_EQ (source, nullptr);
        received.add ({ message, test::isMessageThread() });
    }

    test::SharedList<Received> received;
};

juce::MidiMessage noteOn (int note) { return juce::MidiMessage::noteOn (1, note, (juce::uint8) 100); }
} // namespace

TEST (VirtualMidiPortSystem, InputsDeliverInOrderOnTheirOwnThreadOnlyWhileStarted)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    const auto id = ports->addInputPort ("KEYS");
    CollectingCallback callback;
    auto input = ports->openInput (0, callback);
    ASSERT_NE (input, nullptr);

    ports->sendFromDevice (id, noteOn (1)); // not started yet: dropped
    input->start();

    for (int note = 10; note < 60; ++note)
        ports->sendFromDevice (id, noteOn (note));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return callback.received.size() == 50; }));

    auto received = callback.received.get();

    for (int i = 0; i < 50; ++i)
    {
        EXPECT_EQ (received[(size_t) i].message.getNoteNumber(), 10 + i);
        EXPECT_FALSE (received[(size_t) i].onMessageThread);
    }

    input->stop();
    ports->sendFromDevice (id, noteOn (99));
    test::pumpFor (30);
    EXPECT_EQ (callback.received.size(), 50u);
}

TEST (VirtualMidiPortSystem, AnUnpluggedPortGoesSilentAndAPortOfTheSameNameIsANewPort)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    std::atomic<int> received { 0 };
    auto inId = ports->addInputPort ("KEYS");
    auto outId = ports->addOutputPort ("KEYS", [&] (const juce::MidiMessage&)
                                       { ++received; });

    CollectingCallback callback;
    auto input = ports->openInput (0, callback);
    auto output = ports->openOutput (0);
    input->start();

    ports->removePort (inId);
    ports->removePort (outId);
    EXPECT_TRUE (ports->getInputNames().isEmpty());
    EXPECT_TRUE (ports->getOutputNames().isEmpty());

    ports->sendFromDevice (inId, noteOn (5));
    output->sendMessageNow (noteOn (5));

    inId = ports->addInputPort ("KEYS");
    ports->addOutputPort ("KEYS", [&] (const juce::MidiMessage&)
                          { ++received; });
    ports->sendFromDevice (inId, noteOn (6));
    output->sendMessageNow (noteOn (6));

    test::pumpFor (30);
    EXPECT_EQ (callback.received.size(), 0u);
    EXPECT_EQ (received.load(), 0);
}

TEST (VirtualMidiPortSystem, PortsMayShareANameAndAreOpenedByIndex)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    std::atomic<int> first { 0 }, second { 0 };
    ports->addOutputPort ("SAME", [&] (const juce::MidiMessage&)
                          { ++first; });
    ports->addOutputPort ("OTHER", nullptr);
    ports->addOutputPort ("SAME", [&] (const juce::MidiMessage&)
                          { ++second; });

    EXPECT_EQ (ports->getOutputNames(), juce::StringArray ("SAME", "OTHER", "SAME"));

    ports->openOutput (2)->sendMessageNow (noteOn (1));
    EXPECT_EQ (first.load(), 0);
    EXPECT_EQ (second.load(), 1);
    EXPECT_EQ (ports->openOutput (3), nullptr);
}

TEST (VirtualMidiPortSystem, AnOutputSendReturnsOnlyOnceTheDeviceHasTakenTheMessage)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    std::vector<juce::uint8> taken;
    std::thread::id receiverThread;

    ports->addOutputPort ("KEYS", [&] (const juce::MidiMessage& m)
                          {
                              receiverThread = std::this_thread::get_id();
                              juce::Thread::sleep (20); // a slow link
                              taken.assign (m.getRawData(), m.getRawData() + m.getRawDataSize()); });

    auto output = ports->openOutput (0);
    output->sendMessageNow (test::sysex ({ 0xF0, 0x01, 0x02, 0xF7 }));

    EXPECT_EQ (taken, (std::vector<juce::uint8> { 0xF0, 0x01, 0x02, 0xF7 }));
    EXPECT_EQ (receiverThread, std::this_thread::get_id());
}

TEST (VirtualMidiPortSystem, OpensOfAListedNameCanBeMadeToFail)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    ports->addInputPort ("KEYS");
    ports->addOutputPort ("KEYS", nullptr);
    CollectingCallback callback;

    ports->setOpenFailures ("KEYS", 2);
    EXPECT_EQ (ports->openInput (0, callback), nullptr);
    EXPECT_EQ (ports->openOutput (0), nullptr);
    EXPECT_NE (ports->openInput (0, callback), nullptr);

    ports->setOpenFailures ("KEYS", -1);

    for (int i = 0; i < 5; ++i)
        EXPECT_EQ (ports->openOutput (0), nullptr);

    ports->setOpenFailures ("KEYS", 0);
    EXPECT_NE (ports->openOutput (0), nullptr);
}

TEST (VirtualMidiPortSystem, RecordsTrafficInBothDirectionsWithMicrosecondTimes)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    test::SharedList<VirtualMidiPortSystem::TrafficRecord> records;
    ports->setTrafficObserver ([&] (const auto& r)
                               { records.add (r); });

    const auto inId = ports->addInputPort ("MIDIIN3 (KEYS)");
    ports->addOutputPort ("KEYS", nullptr);
    auto output = ports->openOutput (0);

    output->sendMessageNow (test::sysex ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 }));
    juce::Thread::sleep (2);
    ports->sendFromDevice (inId, test::sysex ({ 0xF0, 0x11, 0xF7 }));

    auto r = records.get();
    ASSERT_EQ (r.size(), 2u);
    EXPECT_TRUE (r[0].toDevice);
    EXPECT_EQ (r[0].portName, "KEYS");
    EXPECT_EQ (r[0].message.getRawDataSize(), 6);
    EXPECT_FALSE (r[1].toDevice);
    EXPECT_EQ (r[1].portName, "MIDIIN3 (KEYS)");
    EXPECT_GE (r[1].microseconds - r[0].microseconds, 1000);
    EXPECT_LT (r[1].microseconds, 60 * 1000 * 1000);
}

TEST (VirtualMidiPortSystem, UnpluggingWaitsForAReceiverBusyOnAnotherThreadButNotForItself)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    juce::WaitableEvent inReceiver, release;
    std::atomic<bool> receiverDone { false };

    const auto slowId = ports->addOutputPort ("SLOW", [&] (const juce::MidiMessage&)
                                              {
                                                  inReceiver.signal();
                                                  release.wait (5000);
                                                  receiverDone = true; });
    auto slow = ports->openOutput (0);
    std::thread sender ([&]
                        { slow->sendMessageNow (noteOn (1)); });
    ASSERT_TRUE (inReceiver.wait (5000));

    std::atomic<bool> removed { false };
    std::thread remover ([&]
                         { ports->removePort (slowId); removed = true; });
    EXPECT_FALSE (test::pumpUntil ([&]
                                   { return removed.load(); },
                                   50));

    release.signal();
    sender.join();
    remover.join();
    EXPECT_TRUE (receiverDone.load());

    // A device that unplugs itself while it handles a message, as a keyboard does when
    // told to restart.
    int selfId = 0;
    selfId = ports->addOutputPort ("SELF", [&] (const juce::MidiMessage&)
                                   { ports->removePort (selfId); });
    ports->openOutput (0)->sendMessageNow (noteOn (2));
    EXPECT_TRUE (ports->getOutputNames().isEmpty());
}
