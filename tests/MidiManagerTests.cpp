#include "TestHelpers.h"
#include "midi/MidiManager.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
class RecordingListener : public MidiManager::Listener
{
public:
    void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
    {
        EXPECT_FALSE (test::isMessageThread());
        received.add (message);
    }

    void midiInputDeviceDisconnected (juce::StringArray names) override { portEvent ("input gone", names); }
    void midiOutputDeviceDisconnected (juce::StringArray names) override { portEvent ("output gone", names); }
    void midiInputDeviceReconnected (juce::StringArray names) override { portEvent ("input back", names); }
    void midiOutputDeviceReconnected (juce::StringArray names) override { portEvent ("output back", names); }

    test::SharedList<juce::MidiMessage> received;
    test::SharedList<juce::String> portEvents;
    std::function<void (const juce::String&)> onPortEvent;

private:
    void portEvent (const juce::String& what, const juce::StringArray& names)
    {
        EXPECT_TRUE (test::isMessageThread());
        const auto text = what + ": " + names.joinIntoString (",");
        portEvents.add (text);

        if (onPortEvent != nullptr)
            onPortEvent (text);
    }
};

/** One device plugged into the virtual ports: an input and an output under one name. */
struct Device
{
    Device (VirtualMidiPortSystem& p, const juce::String& n)
        : ports (p)
        , name (n)
    {
        plug();
    }

    void plug()
    {
        inputId = ports.addInputPort (name);
        outputId = ports.addOutputPort (name, [this] (const juce::MidiMessage& m)
                                        { received.add (m); });
    }

    void unplug()
    {
        ports.removePort (inputId);
        ports.removePort (outputId);
    }

    void send (int note) { ports.sendFromDevice (inputId, juce::MidiMessage::noteOn (1, note, (juce::uint8) 1)); }

    VirtualMidiPortSystem& ports;
    const juce::String name;
    int inputId = 0, outputId = 0;
    test::SharedList<juce::MidiMessage> received;
};

class MidiManagerTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (manager != nullptr)
            manager->removeListener (&listener);
    }

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    RecordingListener listener;
};
} // namespace

TEST_F (MidiManagerTest, TwoPortsOfOneNameAreBothOpenedSentToAndHeardFrom)
{
    Device a (*ports, "MORELTA49"), b (*ports, "MORELTA49");
    manager->addListener (&listener);
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");
    EXPECT_EQ (manager->getNumOpenInputs(), 2);
    EXPECT_EQ (manager->getNumOpenOutputs(), 2);

    EXPECT_TRUE (manager->sendMessageToOutput ("MORELTA49", test::sysex ({ 0xF0, 0x01, 0xF7 })));
    EXPECT_EQ (a.received.size(), 1u);
    EXPECT_EQ (b.received.size(), 1u);

    // One port refuses the next message: the send says so, and the other still gets it.
    ports->setSendFailures ("MORELTA49", 1);
    EXPECT_FALSE (manager->sendMessageToOutput ("MORELTA49", test::sysex ({ 0xF0, 0x02, 0xF7 })));
    EXPECT_EQ (a.received.size() + b.received.size(), 3u);
    EXPECT_TRUE (manager->sendMessageToAllOutputs (test::sysex ({ 0xF0, 0x03, 0xF7 })));
    EXPECT_EQ (a.received.size() + b.received.size(), 5u);

    a.send (1);
    b.send (2);
    EXPECT_TRUE (test::pumpUntil ([&]
                                  { return listener.received.size() == 2; }));
}

TEST_F (MidiManagerTest, OpeningANameThatIsOpenAlreadyOpensNothingMore)
{
    Device keys (*ports, "MORELTA49");
    manager->addListener (&listener);
    manager->openMidiInput ("MORELTA49");
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");
    EXPECT_EQ (manager->getNumOpenInputs(), 1);
    EXPECT_EQ (manager->getNumOpenOutputs(), 1);

    keys.send (7);
    manager->sendMessageToAllOutputs (juce::MidiMessage::noteOff (1, 7));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.received.size() == 1; }));
    test::pumpFor (20);
    EXPECT_EQ (listener.received.size(), 1u);
    EXPECT_EQ (keys.received.size(), 1u);
}

TEST_F (MidiManagerTest, NamesMatchExactlyAndUnknownNamesAreIgnored)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("morelta49");
    manager->openMidiOutput ("MORELTA49 ");
    manager->openMidiOutput ("MORELTA61");
    EXPECT_EQ (manager->getNumOpenInputs(), 0);
    EXPECT_EQ (manager->getNumOpenOutputs(), 0);

    // Sent nowhere is not sent.
    EXPECT_FALSE (manager->sendMessageToOutput ("morelta49", juce::MidiMessage::noteOn (1, 1, (juce::uint8) 1)));
    EXPECT_FALSE (manager->sendMessageToAllOutputs (juce::MidiMessage::noteOn (1, 1, (juce::uint8) 1)));
    EXPECT_EQ (keys.received.size(), 0u);
}

TEST_F (MidiManagerTest, UnpluggingClosesThePortsAndPluggingBackReopensThem)
{
    Device keys (*ports, "MORELTA49");
    manager->addListener (&listener);
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");

    int openAtNotification = -1;
    listener.onPortEvent = [&] (const juce::String&)
    { openAtNotification = manager->getNumOpenInputs() + manager->getNumOpenOutputs(); };

    keys.unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.portEvents.size() == 2; }));
    EXPECT_EQ (listener.portEvents.get(), (std::vector<juce::String> { "input gone: MORELTA49", "output gone: MORELTA49" }));
    EXPECT_EQ (openAtNotification, 0); // the lists had changed before anyone was told

    keys.plug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.portEvents.size() == 4; }));
    EXPECT_EQ (listener.portEvents.get()[2], "input back: MORELTA49");
    EXPECT_EQ (listener.portEvents.get()[3], "output back: MORELTA49");
    EXPECT_EQ (openAtNotification, 2);

    keys.send (3);
    manager->sendMessageToOutput ("MORELTA49", juce::MidiMessage::noteOn (1, 3, (juce::uint8) 1));
    EXPECT_TRUE (test::pumpUntil ([&]
                                  { return listener.received.size() == 1; }));
    EXPECT_EQ (keys.received.size(), 1u);
}

TEST (MidiManager, EachPollPassListsEachKindOfPortOnceAndNothingIsPolledWithNothingToWatch)
{
    // On Windows 11 each listing goes through the system's MIDI service and is slow.
    struct CountingPortSystem final : public MidiPortSystem
    {
        juce::StringArray getInputNames() override { return listed ('i', inner->getInputNames()); }
        juce::StringArray getOutputNames() override { return listed ('o', inner->getOutputNames()); }
        std::unique_ptr<InputPort> openInput (int index, juce::MidiInputCallback& callback) override { return inner->openInput (index, callback); }
        std::unique_ptr<OutputPort> openOutput (int index) override { return inner->openOutput (index); }

        juce::StringArray listed (char kind, const juce::StringArray& names)
        {
            const std::lock_guard<std::mutex> guard (mutex);
            listings += kind;
            return names;
        }

        std::string takeListings()
        {
            const std::lock_guard<std::mutex> guard (mutex);
            return std::exchange (listings, {});
        }

        VirtualMidiPortSystem::Ptr inner = new VirtualMidiPortSystem();
        std::mutex mutex;
        std::string listings;
    };

    juce::ReferenceCountedObjectPtr<CountingPortSystem> ports = new CountingPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports.get());
    Device one (*ports->inner, "MORELTA49"), three (*ports->inner, "MIDIIN3 (MORELTA49)");
    manager->openMidiInput ("MORELTA49");
    manager->openMidiInput ("MIDIIN3 (MORELTA49)");
    manager->openMidiOutput ("MORELTA49");

    // With every port open, then while one is away and when it is reopened.
    ports->takeListings();
    test::pumpFor (200);
    three.unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return manager->getNumOpenInputs() == 1; }));
    three.plug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return manager->getNumOpenInputs() == 2; }));
    test::pumpFor (100);

    const auto listings = ports->takeListings();
    const auto passes = listings.size() / 2;
    EXPECT_GE (passes, 2u);
    std::string onePerPass;

    for (size_t i = 0; i < passes; ++i)
        onePerPass += "io";

    EXPECT_EQ (listings, onePerPass);

    // Nothing open and nothing awaited: a window waiting for a keyboard lists nothing.
    manager->closePorts ("MORELTA49");
    manager->closePorts ("MIDIIN3 (MORELTA49)");
    ports->takeListings();
    test::pumpFor (200);
    EXPECT_EQ (ports->takeListings(), "");
}

TEST_F (MidiManagerTest, PortsThatVanishBeforeTheNotificationIsDeliveredArriveInOneCall)
{
    Device one (*ports, "MORELTA49"), three (*ports, "MIDIIN3 (MORELTA49)");
    manager->addListener (&listener);
    manager->openMidiInput ("MORELTA49");
    manager->openMidiInput ("MIDIIN3 (MORELTA49)");

    // The message thread is not running, so one poll pass sees both gone.
    one.unplug();
    three.unplug();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.portEvents.size() >= 1; }));
    test::pumpFor (120);
    EXPECT_EQ (listener.portEvents.get(), (std::vector<juce::String> { "input gone: MORELTA49,MIDIIN3 (MORELTA49)" }));
}

TEST_F (MidiManagerTest, AReopenThatFailsIsRetriedAndReportedOnlyOnceItSucceeds)
{
    Device keys (*ports, "MORELTA49");
    manager->addListener (&listener);
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");

    keys.unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.portEvents.size() == 2; }));

    // Listed again, but the driver refuses the next three opens of each kind.
    ports->setOpenFailures ("MORELTA49", 6);
    keys.plug();
    test::pumpFor (100);
    EXPECT_EQ (listener.portEvents.size(), 2u);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.portEvents.size() == 4; }));
    EXPECT_EQ (manager->getNumOpenInputs(), 1);
    EXPECT_EQ (manager->getNumOpenOutputs(), 1);

    test::pumpFor (120);
    EXPECT_EQ (listener.portEvents.size(), 4u);
}

TEST_F (MidiManagerTest, APortThatWillNotOpenIsTriedLessAndLessOftenUntilItOpens)
{
    // On Windows each failed open of a busy port keeps the message thread 400 ms. A port
    // busy from its first open is tried again too: nobody may ask for it again.
    for (const bool wasOpenBefore : { true, false })
    {
        SCOPED_TRACE (wasOpenBefore ? "a port that came back" : "a port busy from its first open");
        Device keys (*ports, "MORELTA49");
        manager->addListener (&listener);
        listener.portEvents.clear();
        std::vector<juce::String> expected;
        int attemptsBefore = ports->getOpenAttempts ("MORELTA49");

        if (wasOpenBefore)
        {
            manager->openMidiOutput ("MORELTA49");
            keys.unplug();
            ASSERT_TRUE (test::pumpUntil ([&]
                                          { return listener.portEvents.size() == 1; }));
            ports->setOpenFailures ("MORELTA49", -1);
            attemptsBefore = ports->getOpenAttempts ("MORELTA49");
            keys.plug();
            expected.push_back ("output gone: MORELTA49");
        }
        else
        {
            ports->setOpenFailures ("MORELTA49", -1);
            manager->openMidiOutput ("MORELTA49");
        }

        test::pumpFor (3000);

        // Every poll pass would try, 60 times in 3 s; backing off, the tries come after 0,
        // 0.25, 0.75 and 1.75 s.
        const auto attempts = ports->getOpenAttempts ("MORELTA49") - attemptsBefore;
        EXPECT_GE (attempts, 2);
        EXPECT_LE (attempts, 4);
        EXPECT_EQ (listener.portEvents.get(), expected);
        EXPECT_EQ (manager->getNumOpenOutputs(), 0);

        ports->setOpenFailures ("MORELTA49", 0);
        expected.push_back ("output back: MORELTA49");
        EXPECT_TRUE (test::pumpUntil ([&]
                                      { return listener.portEvents.size() == expected.size(); },
                                      2 * MidiManager::longestReopenRetryMs));
        EXPECT_EQ (listener.portEvents.get(), expected);
        EXPECT_TRUE (manager->isMidiOutputOpen ("MORELTA49"));

        manager->removeListener (&listener);
        manager = new MidiManager (ports);
        keys.unplug();
    }
}

TEST_F (MidiManagerTest, AListenerAddedTwiceIsCalledOnceAndIsGoneAfterOneRemoval)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");

    RecordingListener witness; // tells when a message has been through the fan-out
    manager->addListener (&witness);
    manager->addListener (&listener);
    manager->addListener (&listener);
    manager->addListener (nullptr);

    keys.send (1);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return witness.received.size() == 1; }));
    EXPECT_EQ (listener.received.size(), 1u);

    manager->removeListener (&listener);
    keys.send (2);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return witness.received.size() == 2; }));
    EXPECT_EQ (listener.received.size(), 1u);
    manager->removeListener (&witness);
}

TEST_F (MidiManagerTest, RemovingAListenerWaitsForItsCallOnAnotherThreadToEnd)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");

    struct BlockingListener final : public MidiManager::Listener
    {
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override
        {
            ++calls;
            entered.signal();
            release.wait (5000);
            callEnded = true;
        }

        std::atomic<int> calls { 0 };
        std::atomic<bool> callEnded { false };
        juce::WaitableEvent entered, release;
    } blocking;

    manager->addListener (&blocking);
    keys.send (1);
    ASSERT_TRUE (blocking.entered.wait (5000));

    std::atomic<bool> removed { false };
    std::thread remover ([&]
                         { manager->removeListener (&blocking); removed = true; EXPECT_TRUE (blocking.callEnded.load()); });
    EXPECT_FALSE (test::pumpUntil ([&]
                                   { return removed.load(); },
                                   50));

    blocking.release.signal();
    remover.join();

    keys.send (2);
    test::pumpFor (30);
    EXPECT_EQ (blocking.calls.load(), 1);
}

TEST_F (MidiManagerTest, RemovalsDuringAWalkNeitherSkipNorRepeatAListener)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");

    struct Named final : public MidiManager::Listener
    {
        Named (test::SharedList<char>& l, char n)
            : log (l)
            , name (n)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage&) override
        {
            log.add (name);

            if (onCall != nullptr)
                onCall();
        }

        test::SharedList<char>& log;
        const char name;
        std::function<void()> onCall;
    };

    test::SharedList<char> log;
    Named a (log, 'a'), b (log, 'b'), c (log, 'c'), d (log, 'd');

    for (auto* l : { &a, &b, &c, &d })
        manager->addListener (l);

    // Last added first: d removes itself and b, which has not been called yet.
    d.onCall = [&]
    { manager->removeListener (&d); manager->removeListener (&b); };
    keys.send (1);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.size() == 3; }));
    test::pumpFor (20);
    EXPECT_EQ (log.get(), (std::vector<char> { 'd', 'c', 'a' }));

    // b, called first, removes a, which comes last: the walk must not call c twice.
    log.clear();
    manager->addListener (&b);
    b.onCall = [&]
    { manager->removeListener (&a); };
    keys.send (2);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.size() == 2; }));
    test::pumpFor (20);
    EXPECT_EQ (log.get(), (std::vector<char> { 'b', 'c' }));

    manager->removeListener (&b);
    manager->removeListener (&c);
}

TEST_F (MidiManagerTest, SendsFromSeveralThreadsArriveWholeAndInEachThreadsOrder)
{
    test::SharedList<std::vector<juce::uint8>> arrived;
    ports->addOutputPort ("MORELTA49", [&] (const juce::MidiMessage& m)
                          { arrived.add ({ m.getRawData(), m.getRawData() + m.getRawDataSize() }); });
    manager->openMidiOutput ("MORELTA49");

    constexpr int perThread = 200;
    std::vector<std::thread> senders;

    for (juce::uint8 t = 0; t < 3; ++t)
        senders.emplace_back ([this, t]
                              {
                                  for (int i = 0; i < perThread; ++i)
                                  {
                                      std::vector<juce::uint8> bytes (1024, t);
                                      bytes.front() = 0xF0;
                                      bytes[1] = (juce::uint8) (i & 0x7F);
                                      bytes.back() = 0xF7;
                                      manager->sendMessageToAllOutputs (juce::MidiMessage (bytes.data(), (int) bytes.size()));
                                  } });

    // The poll keeps running meanwhile; it must not disturb the sends.
    test::pumpUntil ([&]
                     { return arrived.size() == 3 * perThread; });

    for (auto& s : senders)
        s.join();

    auto messages = arrived.get();
    ASSERT_EQ (messages.size(), (size_t) (3 * perThread));
    int next[3] = {};

    for (auto& m : messages)
    {
        ASSERT_EQ (m.size(), 1024u);
        const auto t = m[2];
        ASSERT_LT (t, 3);
        EXPECT_TRUE (std::all_of (m.begin() + 2, m.end() - 1, [t] (auto byte)
                                  { return byte == t; }));
        EXPECT_EQ (m[1], (juce::uint8) (next[t]++ & 0x7F));
    }
}

TEST_F (MidiManagerTest, AMessageOnItsWayHoldsUpNeitherTheMessageThreadNorThePollButTheNextSend)
{
    // A port that takes its message only when told, as a WinMM driver that is slow to mark
    // a block done; bounded, so that a manager that waits for it fails rather than hangs.
    std::atomic<bool> taking { false }, release { false };
    test::SharedList<int> arrived;
    ports->addOutputPort ("SLOW", [&] (const juce::MidiMessage& m)
                          {
                              taking = true;
                              test::waitWithoutPumping ([&]
                                                        { return release.load(); },
                                                        10000);
                              arrived.add (m.getNoteNumber()); });
    Device other (*ports, "OTHER");
    manager->openMidiOutput ("SLOW");
    manager->openMidiOutput ("OTHER");

    std::atomic<int> sendsReturned { 0 };
    std::thread first ([&]
                       {
                           EXPECT_TRUE (manager->sendMessageToOutput ("SLOW", juce::MidiMessage::noteOn (1, 1, 0.5f)));
                           ++sendsReturned; });
    ASSERT_TRUE (test::waitWithoutPumping ([&]
                                           { return taking.load(); }));

    std::thread second ([&]
                        {
                            EXPECT_TRUE (manager->sendMessageToAllOutputs (juce::MidiMessage::noteOn (1, 2, 0.5f)));
                            ++sendsReturned; });

    // While the message is on its way the lists answer, the poll closes a port that went,
    // and the next send waits its turn.
    EXPECT_TRUE (manager->isMidiOutputOpen ("SLOW"));
    other.unplug();
    EXPECT_TRUE (test::pumpUntil ([&]
                                  { return manager->getNumOpenOutputs() == 1; }));
    EXPECT_EQ (sendsReturned.load(), 0);

    release = true;
    first.join();
    second.join();
    EXPECT_EQ (arrived.get(), (std::vector<int> { 1, 2 }));
    EXPECT_TRUE (other.received.get().empty());
}

TEST_F (MidiManagerTest, AListenerMaySendAndRemoveItselfFromItsOwnCallWhileThePollRuns)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");

    struct Replier final : public MidiManager::Listener
    {
        explicit Replier (MidiManager& m)
            : manager (m)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            manager.sendMessageToAllOutputs (message);

            if (++calls == 100)
                manager.removeListener (this);
        }

        MidiManager& manager;
        std::atomic<int> calls { 0 };
    } replier (*manager);

    manager->addListener (&replier);

    for (int i = 0; i < 120; ++i)
        keys.send (i % 100);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return keys.received.size() == 100; }));
    test::pumpFor (30);
    EXPECT_EQ (replier.calls.load(), 100);
}

TEST_F (MidiManagerTest, ClosingAPortWhileItsListenerWaitsToSendDoesNotDeadlock)
{
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");

    std::atomic<int> calls { 0 };

    struct Sender final : public MidiManager::Listener
    {
        Sender (MidiManager& m, std::atomic<int>& c)
            : manager (m)
            , calls (c)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            manager.sendMessageToAllOutputs (message);
            ++calls;
        }

        MidiManager& manager;
        std::atomic<int>& calls;
    } sender (*manager, calls);

    manager->addListener (&sender);

    for (int round = 0; round < 5; ++round)
    {
        for (int i = 0; i < 50; ++i)
            keys.send (i);

        keys.unplug();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return manager->getNumOpenInputs() == 0; }));
        keys.plug();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return manager->getNumOpenInputs() == 1 && manager->getNumOpenOutputs() == 1; }));
    }

    manager->removeListener (&sender);
    EXPECT_GT (calls.load(), 0);
}

TEST_F (MidiManagerTest, AnInputIsClosedWithoutWaitingForItsListenerUnderTheLock)
{
    // As on Windows, stopping an input waits for a delivery in progress: the poll must not
    // wait so while it holds the lock that the listener needs to send its reply.
    Device keys (*ports, "MORELTA49");
    manager->openMidiInput ("MORELTA49");
    manager->openMidiOutput ("MORELTA49");

    struct Replier final : public MidiManager::Listener
    {
        explicit Replier (MidiManager& m)
            : manager (m)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            entered.signal();
            const auto end = juce::Time::getMillisecondCounter() + 5000;

            while (manager.getNumOpenInputs() > 0 && juce::Time::getMillisecondCounter() < end)
                juce::Thread::sleep (1);

            // Without the close, the reply would wait for ever for the lock.
            sawCloseWhileInside = manager.getNumOpenInputs() == 0;

            if (sawCloseWhileInside)
                manager.sendMessageToAllOutputs (message);

            done = true;
        }

        MidiManager& manager;
        juce::WaitableEvent entered;
        std::atomic<bool> sawCloseWhileInside { false }, done { false };
    } replier (*manager);

    manager->addListener (&replier);
    keys.send (1);
    ASSERT_TRUE (replier.entered.wait (5000));

    keys.unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return replier.done.load(); },
                                  10000));
    EXPECT_TRUE (replier.sawCloseWhileInside.load());
    manager->removeListener (&replier);
}
