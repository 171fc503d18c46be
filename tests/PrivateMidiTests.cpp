#include "TestHelpers.h"
#include "midi/MidiManager.h"
#include "midi/PrivateDriverRegistry.h"
#include "midi/PrivateMidiDevice.h"
#include "midi/PrivateMidiInput.h"
#include "sim/SimulatedPrivateDriver.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

#include <thread>

using Bytes = std::vector<juce::uint8>;

namespace
{
SimulatedPrivateDriver::InstanceSettings instance (juce::uint8 firstIdByte, int capturePorts = 2, int renderPorts = 2)
{
    SimulatedPrivateDriver::InstanceSettings s;
    s.keyWord1 = 0x11223344;
    s.keyWord2 = 0xA0B0C0D0;
    s.id[0] = firstIdByte;
    s.id[15] = 0x5A;
    s.capturePorts = capturePorts;
    s.renderPorts = renderPorts;
    return s;
}

/** What a private input hands on, as the port manager would receive it. */
class MessageLog final : public juce::MidiInputCallback
{
public:
    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& m) override
    {
        EXPECT_EQ (source, nullptr);
        EXPECT_FALSE (test::isMessageThread());
        messages.add ({ m.getRawData(), m.getRawData() + m.getRawDataSize() });
    }

    /** Waits until this message has arrived; returns what came before it. */
    std::optional<std::vector<Bytes>> until (const Bytes& last, int timeoutMs = 5000)
    {
        std::vector<Bytes> before;

        if (! test::pumpUntil ([&]
                               {
                                   const auto all = messages.get();
                                   const auto it = std::find (all.begin(), all.end(), last);

                                   if (it == all.end())
                                       return false;

                                   before.assign (all.begin(), it);
                                   return true; },
                               timeoutMs))
            return std::nullopt;

        messages.clear();
        return before;
    }

    test::SharedList<Bytes> messages;
};

const Bytes marker { 0xF0, 0x7D, 0x01, 0xF7 };

/** Every test leaves the driver as it found it: nothing open, no request it could not
    parse, and every thread of the client ended within its bound.
*/
class PrivateDriverTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        EXPECT_EQ (driver->getProtocolErrors(), juce::StringArray());
        EXPECT_EQ (driver->getNumSlowThreadStops(), 0);
        EXPECT_EQ (driver->getNumOpenKeys(), 0);
        EXPECT_EQ (driver->getNumOpenDevices(), 0);
        EXPECT_EQ (driver->getNumOpenEvents(), 0);
    }

    std::optional<PrivateDeviceDescriptor> find (PrivateDeviceDescriptor::InstanceId wanted = {})
    {
        PrivateDeviceDescriptor found;

        if (PrivateDriverRegistry::findAttachedPrivateDevice (*driver, found, wanted) != PrivateDriverRegistry::found)
            return std::nullopt;

        return found;
    }

    int attached (const SimulatedPrivateDriver::InstanceSettings& settings)
    {
        const auto n = driver->addInstance (settings);
        driver->attach (n);
        return n;
    }

    std::vector<PrivateDeviceDescriptor> enumerate()
    {
        std::vector<PrivateDeviceDescriptor> devices (16);
        int stored = 0, total = 0;
        PrivateDriverRegistry::enumeratePrivateDevices (*driver, devices.data(), 16, stored, total);
        devices.resize ((size_t) stored);
        return devices;
    }

    SimulatedPrivateDriver::Ptr driver = new SimulatedPrivateDriver();
};
} // namespace

//==============================================================================
TEST_F (PrivateDriverTest, TheSearchTakesTheFirstAttachedInstanceInRegistryOrderAndReadsMoreThanEightAtOnce)
{
    for (juce::uint8 id = 1; id <= 9; ++id)
        driver->addInstance (instance (id));

    attached (instance (0x30));
    attached (instance (0x20)); // installed later, listed earlier

    const auto first = find();
    ASSERT_TRUE (first.has_value());
    EXPECT_EQ (first->instanceId[0], 0x20);
    EXPECT_EQ (first->instanceId[15], 0x5A);
    EXPECT_EQ (first->keyWord1, 0x11223344u);
    EXPECT_EQ (first->keyWord2, 0xA0B0C0D0u);
    EXPECT_STREQ (first->classGuidText, "{B6A79381-D9FB-416B-A521-ACD72DDD413B}");
    EXPECT_EQ (first->attached, 1);

    // Eleven instances: the first reading holds eight, the second all, at once.
    EXPECT_EQ (driver->getClassKeyReadings(), 2);
    EXPECT_TRUE (driver->getSleeps().empty());

    auto wanted = instance (0x30).id;
    ASSERT_TRUE (find (wanted).has_value());
    EXPECT_EQ (find (wanted)->instanceId, wanted);
}

TEST_F (PrivateDriverTest, AnInstanceAttachedThreeHundredMillisecondsIntoTheSearchIsFoundOnTheThirdReading)
{
    // A driver key whose closing marker is in lower case is not the driver's.
    auto lowerMarker = instance (0x01);
    lowerMarker.lowerCaseMarker = true;
    attached (lowerMarker);

    EXPECT_FALSE (find().has_value());
    EXPECT_EQ (driver->getClassKeyReadings(), 3);
    EXPECT_EQ (driver->getSleeps(), (std::vector<int> { 250, 250 }));

    // Hexadecimal digits in lower case are read as any others.
    auto late = instance (0xAB);
    late.keyWord1 = 0xFEDCBA98;
    late.lowerCaseHex = true;
    const auto n = driver->addInstance (late);
    driver->setSleepObserver ([&] (int total)
                              {
                                  if (total >= 500 + 300)
                                      driver->attach (n); });

    const auto found = find();
    ASSERT_TRUE (found.has_value());
    EXPECT_EQ (found->instanceId, late.id);
    EXPECT_EQ (found->keyWord1, 0xFEDCBA98u);
    EXPECT_EQ (driver->getClassKeyReadings(), 3 + 3);
    EXPECT_EQ (driver->getSleeps(), (std::vector<int> { 250, 250, 250, 250 }));
}

TEST_F (PrivateDriverTest, OnlyABinaryAttachedValueEndingInANonZeroByteMeansAttachedAndOnlyWellFormedNamesCount)
{
    const auto path = driver->getInstanceKeyPath (attached (instance (0x01))) + "\\Attached";

    const std::tuple<juce::uint32, Bytes, bool> values[] = {
        { SimulatedPrivateDriver::regBinary, { 0x01 }, true },
        { SimulatedPrivateDriver::regBinary, { 0x00, 0x00, 0x07 }, true },
        { SimulatedPrivateDriver::regBinary, { 0x01, 0x00 }, false },
        { SimulatedPrivateDriver::regBinary, {}, false },
        { SimulatedPrivateDriver::regDword, { 0x01, 0x01, 0x01, 0x01 }, false },
        { SimulatedPrivateDriver::regSz, { 0x31, 0x31 }, false },
    };

    for (auto& [type, bytes, expected] : values)
    {
        driver->writeValue (path, {}, type, bytes);
        const auto devices = enumerate();
        ASSERT_EQ (devices.size(), 1u);
        EXPECT_EQ (devices[0].attached, expected ? 1 : 0) << juce::String::toHexString (bytes.data(), (int) bytes.size());
    }

    driver->deleteKey (path);
    EXPECT_EQ (enumerate()[0].attached, 0);

    // Names: the driver key is 32 characters with both markers in upper case; instance
    // keys are 32 characters, and a character that is not a hexadecimal digit reads as 0.
    const auto classKey = SimulatedPrivateDriver::getClassKeyPath() + "\\";
    const auto goodDriver = classKey + "0102030401000000020000ffDECAFBAD\\Instances\\";
    driver->writeKey (goodDriver + "0123456789abcdefZZ23456789ABCDEF");
    driver->writeKey (goodDriver + "0123456789ABCDEF0123456789ABCDE");   // 31 characters
    driver->writeKey (goodDriver + "0123456789ABCDEF0123456789ABCDEF0"); // 33 characters
    driver->writeKey (classKey + "0102030501000000020000FFDECAFBAD\\Instances\\0123456789ABCDEF0123456789ABCDEF");
    driver->writeKey (classKey + "0102030401000000020000FFDECAFBA\\Instances\\0123456789ABCDEF0123456789ABCDEF");

    const auto devices = enumerate();
    ASSERT_EQ (devices.size(), 2u);
    const auto& named = devices[0];
    EXPECT_EQ (named.keyWord1, 1u);
    EXPECT_EQ (named.keyWord2, 0xFF000002u);
    const PrivateDeviceDescriptor::InstanceId expectedId { 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF };
    EXPECT_EQ (named.instanceId, expectedId);
    EXPECT_EQ (named.attached, 0); // no "Attached" key
}

//==============================================================================
TEST_F (PrivateDriverTest, AnAttachBeforeTheWatcherListensIsNotMissedAndPortRequestsAreRefusedWhileClosedOrOutOfRange)
{
    const auto n = driver->addInstance ([]
                                        {
                                            auto s = instance (0x01, 40, 2);
                                            s.refusedCapturePorts = { 1 };
                                            return s; }());
    PrivateDeviceDescriptor device;
    ASSERT_EQ (enumerate().size(), 1u);
    device = enumerate()[0];

    // The watcher's first request for notifications takes a while: the attach below
    // comes before it is in place, and must not be missed.
    driver->delayNotificationRequests (200);
    PrivateMidi midi (driver, device);
    juce::uint8 buffer[PrivateMidi::captureBufferSize];
    juce::uint32 count = 0;

    // Detached: nothing is opened and nothing reaches the driver.
    EXPECT_FALSE (midi.isDeviceOpen());
    EXPECT_EQ (midi.openCapturePort (0), PrivateMidi::deviceNotOpen);
    EXPECT_EQ (midi.openRenderPort (0), PrivateMidi::deviceNotOpen);
    EXPECT_EQ (midi.closeAllPorts(), PrivateMidi::deviceNotOpen);
    EXPECT_EQ (midi.setCaptureBuffer (0, nullptr, buffer), PrivateMidi::badArgument);
    EXPECT_FALSE (midi.getCapturePortCount (count));
    EXPECT_FALSE (midi.confirmPortsOpened());

    for (juce::uint32 property = 0; property <= 12; ++property)
        EXPECT_EQ (driver->getRequestCount (property), 0) << property;

    driver->attach (n);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return midi.isDeviceOpen() && driver->isCaptureEventRegistered (n); }));
    driver->delayNotificationRequests (0);

    ASSERT_TRUE (midi.getCapturePortCount (count));
    EXPECT_EQ (count, 40u);

    const std::pair<int, int> captureOpens[] = {
        { 0, PrivateMidi::ok },
        { 0, PrivateMidi::alreadyOpen },
        { 1, PrivateMidi::openRefused },
        { 31, PrivateMidi::ok },
        { 32, PrivateMidi::badArgument },
        { 39, PrivateMidi::badArgument },
        { -1, PrivateMidi::badArgument },
    };

    for (auto& [port, result] : captureOpens)
        EXPECT_EQ (midi.openCapturePort (port), result) << port;

    EXPECT_EQ (midi.openRenderPort (1), PrivateMidi::ok);
    EXPECT_EQ (midi.openRenderPort (2), PrivateMidi::openRefused);
    EXPECT_EQ (midi.openRenderPort (32), PrivateMidi::badArgument);
    EXPECT_EQ (midi.setCaptureBuffer (32, nullptr, buffer), PrivateMidi::badArgument);
    EXPECT_TRUE (driver->isCapturePortOpen (n, 31));

    EXPECT_EQ (midi.closeAllPorts(), PrivateMidi::ok);
    EXPECT_FALSE (midi.isCapturePortOpen (0));
    EXPECT_FALSE (midi.isRenderPortOpen (1));
    EXPECT_FALSE (driver->isCapturePortOpen (n, 31));
}

TEST_F (PrivateDriverTest, ChunksBecomeMessagesAsTheStreamFlagSays)
{
    struct Chunk
    {
        Bytes bytes;
        bool streamFlag;
    };

    struct Case
    {
        const char* what;
        int bytesPerRead;
        std::vector<Chunk> chunks;
        std::vector<Bytes> expected;
    };

    Bytes reply { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x03, 0x12, 0x01, 0x02, 0xF7 };
    Bytes identity (35, 0x11);
    identity.front() = 0xF0;
    identity.back() = 0xF7;
    Bytes longSysex (300, 0x22);
    longSysex.front() = 0xF0;
    longSysex.back() = 0xF7;

    const Case cases[] = {
        { "a 12-byte reply in one chunk", 0, { { reply, false } }, { reply } },
        { "the same reply in two chunks of a stream", 0, { { Bytes (reply.begin(), reply.begin() + 5), true }, { Bytes (reply.begin() + 5, reply.end()), true } }, { reply } },
        { "three messages in one chunk of a stream", 0, { { { 0x90, 0x3C, 0x40, 0xB0, 0x07, 0x64, 0xC0, 0x05 }, true } }, { { 0x90, 0x3C, 0x40 }, { 0xB0, 0x07, 0x64 }, { 0xC0, 0x05 } } },
        { "running status across chunks", 0, { { { 0x90, 0x3C, 0x40 }, true }, { { 0x3E, 0x41 }, true } }, { { 0x90, 0x3C, 0x40 }, { 0x90, 0x3E, 0x41 } } },
        { "a SysEx message longer than the buffer, with no stream", 0, { { longSysex, false } }, { Bytes (longSysex.begin(), longSysex.begin() + 256), Bytes (longSysex.begin() + 256, longSysex.end()) } },
        { "a reply read a few bytes at a time, with no stream", 16, { { identity, false } }, { identity } },
    };

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        auto settings = instance ((juce::uint8) (&c - cases + 1));
        settings.bytesPerRead = c.bytesPerRead;
        const auto n = attached (settings);
        MessageLog log;
        auto input = PrivateMidiInput::create (driver, *find (settings.id), log);
        ASSERT_TRUE (input->isAttached());

        for (auto& chunk : c.chunks)
            driver->capture (n, 1, chunk.bytes, chunk.streamFlag);

        driver->capture (n, 1, marker);
        EXPECT_EQ (log.until (marker), c.expected);
    }
}

TEST_F (PrivateDriverTest, UnplugAndReplugWhileCapturingReopenEverythingAndEachAttachThatLeavesAPortClosedSaysSo)
{
    auto refusing = instance (0x02);
    refusing.refusedCapturePorts = { 1 };
    const int all = attached (instance (0x01)), some = attached (refusing);
    MessageLog allLog, someLog;

    testing::internal::CaptureStdout();
    auto allPorts = PrivateMidiInput::create (driver, *find (instance (0x01).id), allLog);
    auto somePorts = PrivateMidiInput::create (driver, *find (refusing.id), someLog);
    const auto closes = driver->getRequestCount (PrivateMidiDevice::closeAllPorts);

    for (int round = 0; round < 2; ++round)
    {
        const Bytes message { 0xF0, 0x01, (juce::uint8) round, 0xF7 };
        driver->capture (all, 1, message);
        driver->capture (some, 0, message);
        EXPECT_EQ (allLog.until (message), std::vector<Bytes> {});
        EXPECT_EQ (someLog.until (message), std::vector<Bytes> {});

        driver->detach (all);
        driver->detach (some);
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return ! allPorts->isAttached() && ! somePorts->isAttached(); }));

        // The device file was closed first: closing the ports did not ask the driver.
        EXPECT_EQ (driver->getRequestCount (PrivateMidiDevice::closeAllPorts), closes);

        driver->attach (all);
        driver->attach (some);
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return driver->isCapturePortOpen (all, 1) && driver->isCapturePortOpen (some, 0); }));
        EXPECT_TRUE (driver->isCaptureEventRegistered (all));
    }

    // "Attached" written again while attached: the ports stay open, the second opening
    // is refused as already done, and that is said too. A write before the watcher asks
    // for the next change again is, as with the registry, one it never hears of.
    const auto attachedKey = driver->getInstanceKeyPath (all) + "\\Attached";
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return driver->isChangeAwaited (attachedKey); }));
    driver->writeValue (attachedKey, {}, SimulatedPrivateDriver::regBinary, { 0x01 });
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return driver->getRequestCount (PrivateMidiDevice::portsOpened) == 6 + 1; }));
    driver->capture (all, 0, marker);
    EXPECT_EQ (allLog.until (marker), std::vector<Bytes> {});

    const auto printed = juce::String (testing::internal::GetCapturedStdout());
    auto lines = juce::StringArray::fromLines (printed);
    lines.removeEmptyStrings();
    EXPECT_EQ (lines.size(), 3 + 1) << printed; // one for each attach of the refusing instance
    EXPECT_EQ (printed.replace (PrivateMidiInput::failedToOpenText, ""), "");
    EXPECT_STREQ (PrivateMidiInput::failedToOpenText, "Failed to open all available ports!!!!\n");
}

TEST_F (PrivateDriverTest, ADetachAndAttachSeenAsOneChangeOpenTheDeviceFileAgain)
{
    const auto n = attached (instance (0x01));
    MessageLog log;
    auto input = PrivateMidiInput::create (driver, *find(), log);

    // The watcher wakes once, finds the instance attached and its old device file gone.
    driver->holdNotifications (true);
    driver->detach (n);
    driver->attach (n);
    driver->holdNotifications (false);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return driver->isCapturePortOpen (n, 0) && driver->isCaptureEventRegistered (n); }));
    driver->capture (n, 0, marker);
    EXPECT_EQ (log.until (marker), std::vector<Bytes> {});
}

TEST_F (PrivateDriverTest, AttachStormsWhileTheCaptureThreadReadsNeitherDeadlockNorLoseTheInstance)
{
    // One input keeps reading while its instance is attached, detached and re-marked
    // attached as fast as a thread can; another instance's input is made and dropped on
    // this thread meanwhile. ThreadSanitizer reports any lock taken in two orders.
    const auto busy = attached (instance (0x01)), churned = attached (instance (0x02));
    MessageLog log, churnLog;
    auto input = PrivateMidiInput::create (driver, *find (instance (0x01).id), log);
    const auto churnedDevice = *find (instance (0x02).id);
    const auto attachedPath = driver->getInstanceKeyPath (busy) + "\\Attached";

    std::atomic<bool> stop { false };
    std::thread sender ([&]
                        {
                            for (juce::uint8 i = 0; ! stop; ++i)
                            {
                                driver->capture (busy, i % 2, { 0xF0, 0x02, (juce::uint8) (i & 0x7F), 0xF7 });
                                driver->capture (churned, 0, { 0x90, 0x40, 0x40 }, true);
                                std::this_thread::yield();
                            } });
    std::thread storm ([&]
                       {
                           for (int i = 0; i < 300; ++i)
                           {
                               const auto target = i % 3 == 0 ? churned : busy;
                               driver->detach (target);
                               driver->attach (target);

                               if (i % 5 == 0)
                                   driver->writeValue (attachedPath, {}, SimulatedPrivateDriver::regBinary, { 0x01 });

                               std::this_thread::yield();
                           } });

    // Re-marking an instance attached while its ports are open prints the failed-open line.
    testing::internal::CaptureStdout();

    for (int i = 0; i < 40; ++i)
        PrivateMidiInput::create (driver, churnedDevice, churnLog).reset();

    storm.join();
    stop = true;
    sender.join();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return driver->isCapturePortOpen (busy, 0) && driver->isCaptureEventRegistered (busy); }));
    driver->capture (busy, 0, marker);
    EXPECT_TRUE (log.until (marker, 10000).has_value());
    EXPECT_TRUE (input->isAttached());
    testing::internal::GetCapturedStdout();
}

TEST (PrivateDriverThreads, AThreadThatOverrunsItsStopBoundIsCountedAndStillWaitedFor)
{
    struct SlowThread final : public PrivateDriverSystem::Thread
    {
        explicit SlowThread (std::vector<juce::String>& e)
            : events (e)
        {
        }

        ~SlowThread() override { events.push_back ("joined"); }

        bool waitForExit (int timeoutMs) override
        {
            events.push_back ("waited " + juce::String (timeoutMs) + " ms");
            return false;
        }

        std::vector<juce::String>& events;
    };

    std::vector<juce::String> events;
    SimulatedPrivateDriver::Ptr system = new SimulatedPrivateDriver();
    std::unique_ptr<PrivateDriverSystem::Thread> thread = std::make_unique<SlowThread> (events);
    system->joinThread (thread);

    EXPECT_EQ (thread, nullptr);
    EXPECT_EQ (events, (std::vector<juce::String> { "waited 5000 ms", "joined" }));
    EXPECT_EQ (system->getNumSlowThreadStops(), 1);
}

TEST_F (PrivateDriverTest, TheManagerKeepsOnePrivateInputPerInstanceAndHandsEachMessageOnOnce)
{
    struct Listener final : public MidiManager::Listener
    {
        void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& m) override
        {
            EXPECT_EQ (source, nullptr);
            log.handleIncomingMidiMessage (nullptr, m);
        }

        MessageLog log;
    } listener;

    const auto first = attached (instance (0x01)), second = attached (instance (0x02));
    MidiManager::Ptr manager = new MidiManager (new VirtualMidiPortSystem(), driver);
    manager->addListener (&listener);

    for (int tick = 0; tick < 3; ++tick)
        manager->openPrivateMidiInput (*find());

    EXPECT_EQ (manager->getNumPrivateInputs(), 1);
    EXPECT_EQ (manager->getNumOpenInputs(), 0);

    manager->openPrivateMidiInput (*find (instance (0x02).id));
    EXPECT_EQ (manager->getNumPrivateInputs(), 2);

    const Bytes reply { 0xF0, 0x03, 0x01, 0xF7 };
    driver->capture (first, 0, reply);
    driver->capture (second, 1, reply);
    driver->capture (first, 1, marker);
    test::pumpUntil ([&]
                     { return listener.log.messages.size() >= 3; });
    test::pumpFor (50);
    auto all = listener.log.messages.get();
    std::sort (all.begin(), all.end());
    EXPECT_EQ (all, (std::vector<Bytes> { reply, reply, marker }));

    manager->removeListener (&listener);
    manager = nullptr; // closes both inputs: TearDown checks nothing stays open
}
