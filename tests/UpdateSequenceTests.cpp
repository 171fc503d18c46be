#include "KeyboardTestHelpers.h"
#include "engine/DetectDeviceInfo.h"
#include "platform/ScopedSystemAwake.h"
#include "platform/ScopedTimerResolution.h"
#include "resources/EmbeddedResources.h"

#include <gtest/gtest.h>

#include <algorithm>

#if JUCE_WINDOWS
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>
#endif

namespace
{
class StatusLog final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int s) override
    {
        completed = completed || s == EngineStatus::completed;

        if (statuses.empty() || statuses.back() != s)
        {
            statuses.push_back (s);
            updateScopeHeld.push_back (ScopedTimerResolution::getNumInstances() > 0 && ScopedSystemAwake::isHeld());
        }

        progressOnEntering.emplace (s, lastProgress); // the first time only

        if (onStatus != nullptr)
            onStatus (s);
    }

    void progressChanged (double p) override
    {
        lastProgress = p;
        progress.push_back (p);
    }

    void errorOccurred (int e) override { errors.push_back (e); }
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    bool heard (int status) const { return std::find (statuses.begin(), statuses.end(), status) != statuses.end(); }

    bool completed = false;
    std::vector<int> statuses, errors;
    std::vector<bool> updateScopeHeld; // at each status
    std::vector<double> progress;
    std::map<int, double> progressOnEntering;
    double lastProgress = 0.0;
    std::function<void (int)> onStatus;
};

/** The updater's engine on its own ports, with a simulated keyboard that detection finds. */
struct Updater
{
    explicit Updater (SimulatedKeyboard::Settings settings, bool emergency = false)
    {
        engine->setUserDataFolder (userData.getFile());
        engine->addListener (&log);
        engine->setEmergencyMode (emergency);
        keyboard = std::make_unique<SimulatedKeyboard> (ports, std::move (settings), privateDriver);
    }

    ~Updater()
    {
        engine = nullptr;
        keyboard.reset();
        userData.getFile().deleteRecursively();
    }

    /** Waits for detection to have opened the keyboard's ports, then starts. */
    bool start()
    {
        if (! test::pumpUntil ([&]
                               { return manager->getNumOpenOutputs() == 1 && (engine->getState().emergencyMode || engine->getState().version > 0.0); },
                               test::stepTimeoutMs))
            return false;

        log.statuses.clear();
        log.updateScopeHeld.clear();
        engine->beginUpdate();
        return true;
    }

    /** After an error, or once the completed update has gone back to idle (a step of its
        own, which a loaded machine may run well after the completion).
    */
    bool finished() const { return ! log.errors.empty() || (log.completed && log.statuses.back() == EngineStatus::idle); }

    /** Runs the message loop until the update reaches the status, then holds it still
        until the keyboard logs the event: what the update's threads post meanwhile stays
        queued, in order.
    */
    bool holdTheLoopFrom (int status, const juce::String& keyboardEvent)
    {
        return test::pumpUntil ([&]
                                { return log.heard (status) || finished(); },
                                test::updateTimeoutMs)
               && test::waitWithoutPumping ([&]
                                            { return keyboard->getLog().contains (keyboardEvent); });
    }

    const juce::TemporaryFile userData;
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedPrivateDriver::Ptr privateDriver = new SimulatedPrivateDriver();
    MidiManager::Ptr manager = new MidiManager (ports, privateDriver);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    std::unique_ptr<SimulatedKeyboard> keyboard;
    StatusLog log;
};

SimulatedKeyboard::Settings keyboard (int keys, double version, bool inUpdateMode = false, std::initializer_list<const char*> faults = {})
{
    SimulatedKeyboard::Settings s;
    s.keys = keys;
    s.firmwareVersion = version;
    s.startsInUpdateMode = inUpdateMode;

    for (auto* f : faults)
        s.faults.push_back (*KeyboardFault::parse (f));

    return s;
}

std::vector<juce::uint8> embedded (const char* data, int size)
{
    return { reinterpret_cast<const juce::uint8*> (data), reinterpret_cast<const juce::uint8*> (data) + size };
}
} // namespace

TEST (UpdateSequence, AnEmergencyUpdateSendsBothImagesAndWaitsForTheRestartOnly)
{
    Updater emergency (keyboard (61, 1.16, true), true);
    ASSERT_TRUE (emergency.start());

    // The keyboard restarts on the assets image's last block, and a port poll may tell of
    // it before the sender's own news that it is through. Held off the message loop, that
    // news waits while the port's goes first: the restart, not a loss.
    ASSERT_TRUE (emergency.holdTheLoopFrom (EngineStatus::sendingAssets, "reboot"));
    EXPECT_EQ (emergency.engine->getState().status, EngineStatus::sendingAssets);
    emergency.engine->midiOutputDeviceDisconnected ({ emergency.engine->getState().port1Name });

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return emergency.finished(); },
                                  test::updateTimeoutMs));

    EXPECT_TRUE (emergency.log.errors.empty());
    EXPECT_EQ (emergency.log.statuses, (std::vector<int> { 0, 5, 6, 7, 10, 0 })); // never startingEmergencyUpdate

    // From the reset that starts the update to the one that ends it.
    EXPECT_EQ (emergency.log.updateScopeHeld, (std::vector<bool> { true, true, true, true, true, false }));

    // One progress over both images: the app image ends 1591 / 9502 of the way.
    EXPECT_NEAR (emergency.log.progressOnEntering[EngineStatus::sendingAssets], 1591.0 / 9502.0, 0.001);

    EXPECT_EQ (emergency.keyboard->getFlashedImage (FirmwareStreamChecker::Image::app), embedded (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize));
    EXPECT_EQ (emergency.keyboard->getFlashedImage (FirmwareStreamChecker::Image::assets), embedded (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize));
    EXPECT_EQ (emergency.keyboard->getFirmwareVersion(), 1.25);
    EXPECT_EQ (emergency.keyboard->getUserData(), SimulatedKeyboard::factoryDataFor (61)); // nothing restored
    EXPECT_NE (emergency.engine->getDetection(), nullptr);                                 // polling again
}

TEST (UpdateSequence, OnThePrivateDriverTheBackupHearsEveryReplyOnceThroughTheDriversCapture)
{
    auto settings = keyboard (49, 1.16);
    settings.layout = SimulatedKeyboard::Layout::privateDriver;
    Updater updater (settings);
    ASSERT_TRUE (updater.start());
    EXPECT_EQ (updater.manager->getNumOpenInputs(), 1); // the first port: it carries nothing
    EXPECT_EQ (updater.manager->getNumPrivateInputs(), 1);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return updater.log.heard (EngineStatus::erasingFirmware) || ! updater.log.errors.empty(); },
                                  60000));

    EXPECT_TRUE (updater.log.errors.empty());
    EXPECT_GT (updater.privateDriver->getRequestCount (12), 12288); // every preset message, in pieces
    EXPECT_TRUE (updater.privateDriver->getProtocolErrors().isEmpty());

    const auto folder = juce::File (updater.engine->getBackupFolder());
    EXPECT_EQ (folder.getChildFile ("Globals.syx").getSize(), 14 * 14);

    for (int p = 0; p < 32; ++p)
        EXPECT_EQ (folder.getChildFile ("Preset_" + juce::String (p) + ".syx").getSize(), 14 + 384 * 16 + 9) << p;
}

TEST (UpdateSequence, AnEmergencyUpdateWithNoKeyboardFoundEndsAsUnavailable)
{
    Updater updater (keyboard (49, 1.16), true);
    updater.keyboard->unplug();
    updater.engine->beginUpdate();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! updater.log.errors.empty(); }));
    EXPECT_EQ (updater.log.errors, std::vector<int> { EngineError::deviceUnavailable });
    EXPECT_FALSE (updater.engine->isBusy());
}

TEST (UpdateSequence, AKeyboardLostDuringATransferEndsTheUpdateAsUnavailable)
{
    Updater app (keyboard (25, 1.16, true, { "unplug@app-block:100" }), true);
    Updater assets (keyboard (25, 1.16, true, { "unplug@assets-block:7000" }), true);
    ASSERT_TRUE (app.start());
    ASSERT_TRUE (assets.start());

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return app.finished() && assets.finished(); },
                                  test::updateTimeoutMs));

    for (auto* u : { &app, &assets })
    {
        EXPECT_EQ (u->log.errors, std::vector<int> { EngineError::deviceUnavailable });
        EXPECT_FALSE (u->engine->isBusy());
        EXPECT_NE (u->engine->getDetection(), nullptr);
    }

    EXPECT_TRUE (assets.log.heard (EngineStatus::sendingAssets));
}

TEST (UpdateSequence, AKeyboardLostWithTheAppImagesLastBlockEndsTheUpdateHoweverTheNewsArrive)
{
    // Lost on the app image's last block: the app's sender is through and the assets'
    // has sent nothing. With the message loop held while the app image ends, a port poll
    // is queued before the app sender's news: the poll closes the port, so the assets
    // sender never starts, and only the engine can tell the loss from a wait.
    Updater between (keyboard (25, 1.16, true, { "unplug@app-block:1590" }), true);
    ASSERT_TRUE (between.start());
    ASSERT_TRUE (between.holdTheLoopFrom (EngineStatus::sendingApp, "unplugged at unplug@app-block:1590"));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return between.finished(); }));
    EXPECT_EQ (between.log.errors, std::vector<int> { EngineError::deviceUnavailable });
    EXPECT_FALSE (between.engine->isBusy());
}

TEST (UpdateSequence, AWaitForAKeyboardPortThatIsListedButWillNotOpenEndsAsUnavailable)
{
    // On Windows another program may hold the port. A port that is not listed at all
    // belongs to a keyboard that is restarting: that wait has no limit.
    struct Case
    {
        const char* name;
        bool emergency;
        const char* fault;
        int blockOpensAt; // the status at which the keyboard's port stops opening; -1: never
        bool endsAsUnavailable;
    };

    const Case cases[] = {
        { "emergency update into a port that never opened", true, nullptr, EngineStatus::idle, true },
        { "restart into the update mode, port busy", false, nullptr, EngineStatus::erasingFirmware, true },
        { "restart into the update mode, port not back", false, "no-return@update-mode", -1, false },
    };

    constexpr int timeoutMs = 500;

    for (auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        auto settings = keyboard (49, 1.16, c.emergency);

        if (c.fault != nullptr)
            settings.faults.push_back (*KeyboardFault::parse (c.fault));

        Updater updater (settings, c.emergency);

        updater.engine->setUnopenablePortTimeout (timeoutMs);
        const auto port = updater.keyboard->getModelName();
        std::atomic<int> blocksReceived { 0 };
        updater.ports->setTrafficObserver ([&] (const VirtualMidiPortSystem::TrafficRecord& r)
                                           {
                                               if (r.toDevice && r.message.getRawDataSize() == FirmwareUpdate::blockSize)
                                                   ++blocksReceived; });

        if (c.blockOpensAt == EngineStatus::idle)
        {
            updater.ports->setOpenFailures (port, -1);
            ASSERT_TRUE (test::pumpUntil ([&]
                                          { return updater.engine->getState().port1Name == port; }));
            updater.engine->beginUpdate();
        }
        else
        {
            updater.log.onStatus = [&] (int s)
            {
                if (s == c.blockOpensAt)
                    updater.ports->setOpenFailures (port, -1);
            };
            ASSERT_TRUE (updater.start());
        }

        if (c.endsAsUnavailable)
        {
            ASSERT_TRUE (test::pumpUntil ([&]
                                          { return ! updater.log.errors.empty(); },
                                          30000));
            EXPECT_EQ (updater.log.errors, std::vector<int> { EngineError::deviceUnavailable });
            EXPECT_FALSE (updater.engine->isBusy());
        }
        else
        {
            ASSERT_TRUE (test::pumpUntil ([&]
                                          { return updater.log.heard (EngineStatus::erasingFirmware); },
                                          30000));
            test::pumpFor (4 * timeoutMs);
            EXPECT_TRUE (updater.log.errors.empty());
            EXPECT_EQ (updater.engine->getState().status, EngineStatus::erasingFirmware);
        }

        EXPECT_FALSE (updater.log.heard (EngineStatus::sendingApp));
        EXPECT_EQ (blocksReceived.load(), 0);
        updater.ports->setTrafficObserver (nullptr);
    }
}

TEST (UpdateSequence, AnEnterUpdateModeThePortRefusesEndsTheUpdateWithNoBlockSent)
{
    // Without it the keyboard never restarts, and the update would wait for ever.
    Updater updater (keyboard (49, 1.16));
    std::atomic<int> blocks { 0 };
    updater.ports->setTrafficObserver ([&] (const VirtualMidiPortSystem::TrafficRecord& r)
                                       {
                                           if (r.toDevice && r.message.getRawDataSize() == FirmwareUpdate::blockSize)
                                               ++blocks; });
    updater.log.onStatus = [&] (int s)
    {
        if (s == EngineStatus::erasingFirmware)
            updater.ports->setSendFailures (updater.keyboard->getModelName(), 1);
    };

    ASSERT_TRUE (updater.start());
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return updater.finished(); },
                                  test::updateTimeoutMs));
    test::pumpFor (100);

    EXPECT_EQ (updater.log.errors, std::vector<int> { EngineError::deviceUnavailable });
    EXPECT_FALSE (updater.keyboard->getLog().contains ("update mode"));
    EXPECT_EQ (blocks.load(), 0);
    updater.ports->setTrafficObserver (nullptr);
}

namespace
{
#if JUCE_WINDOWS
long threadCount()
{
    const auto snapshot = CreateToolhelp32Snapshot (TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry {};
    entry.dwSize = sizeof (entry);
    long count = 0;

    for (auto more = Thread32First (snapshot, &entry); more; more = Thread32Next (snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;

    CloseHandle (snapshot);
    return count;
}

long residentKilobytes()
{
    PROCESS_MEMORY_COUNTERS counters {};
    GetProcessMemoryInfo (GetCurrentProcess(), &counters, sizeof (counters));
    return (long) (counters.WorkingSetSize / 1024);
}
#else
long processStatusField (const char* field)
{
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/self/status").loadFileAsString());

    for (auto& line : lines)
        if (line.startsWith (field))
            return line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();

    return -1;
}

long threadCount() { return processStatusField ("Threads:"); }
long residentKilobytes() { return processStatusField ("VmRSS:"); }
#endif
} // namespace

TEST (UpdateSequence, UpdatesInARowLeaveNothingBehind)
{
    Updater updater (keyboard (49, 1.16, true), true);
    long threadsAfterFirst = 0;
    [[maybe_unused]] long memoryAfterSecond = 0; // not comparable under the sanitizers
    int listenersAfterFirst = 0;

    for (int update = 0; update < 10; ++update)
    {
        ASSERT_TRUE (updater.start()) << update;
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return updater.finished(); },
                                      test::updateTimeoutMs))
            << update;
        ASSERT_TRUE (updater.log.errors.empty()) << update;

        // The keyboard is back in its update mode for the next round, as the user would
        // start it by hand; the updater is idle and polling.
        updater.log.completed = false;
        updater.keyboard.reset();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return updater.manager->getNumOpenOutputs() == 0; }));
        auto settings = keyboard (49, 1.16, true);
        updater.keyboard = std::make_unique<SimulatedKeyboard> (updater.ports, settings);
        updater.engine->setEmergencyMode (true);
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return updater.manager->getNumOpenOutputs() == 1; },
                                      test::stepTimeoutMs));
        test::pumpFor (100);

        const auto threads = threadCount();
        const auto listeners = updater.manager->getNumListeners();

        if (update == 0)
        {
            threadsAfterFirst = threads;
            listenersAfterFirst = listeners;
        }

        EXPECT_EQ (threads, threadsAfterFirst) << update;
        EXPECT_EQ (listeners, listenersAfterFirst) << update;

        if (update == 1)
            memoryAfterSecond = residentKilobytes();
    }

#if ! defined(__SANITIZE_ADDRESS__) && ! defined(__SANITIZE_THREAD__)
    // Each update copies both images and the keyboard keeps what it flashed: some 40 MB
    // come and go each time, but nothing may pile up.
    EXPECT_LT (residentKilobytes() - memoryAfterSecond, 16 * 1024) << "kB";
#endif
}

namespace
{
/** A keyboard of our own making that takes an emergency update's blocks and, once it
    has them all, answers each Identity Request with this version, or not at all. Its
    port never goes away: the restart is too quick to be seen, and it is asked.
*/
struct RestartedKeyboard
{
    explicit RestartedKeyboard (const std::vector<juce::uint8>& d)
    {
        const auto input = ports->addInputPort ("MIDIIN3 (MORELTA49)");
        ports->addOutputPort ("MORELTA49", [this, input, reply = d.empty() ? std::vector<juce::uint8>() : test::identityReply ({ d[0], d[1], d[2], d[3] })] (const juce::MidiMessage& m)
                              {
                                  if (m.getRawDataSize() == FirmwareUpdate::blockSize || m.getRawData()[m.getRawDataSize() - 1] == 0xF7)
                                      ++writes;

                                  if (m.getRawDataSize() != 6 || m.getRawData()[1] != 0x7E || writes < 9502)
                                      return;

                                  const auto now = juce::Time::getMillisecondCounter();
                                  firstAskMs = firstAskMs == 0 ? now : firstAskMs.load();
                                  lastAskMs = now;
                                  ++asked;

                                  if (! reply.empty())
                                      ports->sendFromDevice (input, juce::MidiMessage (reply.data(), (int) reply.size())); });
        manager->openMidiInput ("MIDIIN3 (MORELTA49)");
        manager->openMidiOutput ("MORELTA49");
        engine->addListener (&log);
        engine->setWaitBounds ({ 15000, 500, 60000 });

        auto& state = engine->getState();
        state.port1Name = "MORELTA49";
        state.model = HardwareModel::morelta49;
        engine->setEmergencyMode (true);
        engine->beginUpdate();
    }

    ~RestartedKeyboard() { engine = nullptr; }

    bool finished() const { return ! log.errors.empty() || (log.completed && ! engine->isBusy()); }

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    StatusLog log;
    std::atomic<int> writes { 0 }, asked { 0 };
    std::atomic<juce::uint32> firstAskMs { 0 }, lastAskMs { 0 };
};
} // namespace

TEST (UpdateSequence, OnlyAKeyboardThatSaysItRunsTheNewFirmwareCountsAsUpdated)
{
    struct Case
    {
        std::vector<juce::uint8> versionDigits; // none: it does not answer
        bool confirmed;
    };

    const Case cases[] = {
        { { 0, 1, 2, 5 }, true },
        { { 0, 1, 1, 6 }, false }, // still the old firmware
        { {}, false },             // its loader, which does not answer
    };

    std::vector<std::unique_ptr<RestartedKeyboard>> keyboards;

    for (auto& c : cases)
        keyboards.push_back (std::make_unique<RestartedKeyboard> (c.versionDigits));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (keyboards.begin(), keyboards.end(), [] (auto& k)
                                                        { return k->finished(); }); },
                                  test::updateTimeoutMs));

    for (size_t i = 0; i < std::size (cases); ++i)
    {
        auto& k = *keyboards[i];
        SCOPED_TRACE ((int) i);
        EXPECT_EQ (k.log.completed, cases[i].confirmed);
        EXPECT_EQ (k.log.errors, cases[i].confirmed ? std::vector<int>() : std::vector<int> { EngineError::firmwareNotConfirmed });
        EXPECT_EQ (k.engine->getState().version, cases[i].confirmed ? 1.25 : 0.0);
    }

    // The silent one was asked ten times over about ten seconds, as JUCE's timer goes.
    EXPECT_EQ (keyboards[2]->asked.load(), 10);
    EXPECT_GE (keyboards[2]->lastAskMs - keyboards[2]->firstAskMs, 8000u);
}

TEST (UpdateSequence, ATransferThatAnErrorStoppedIsNeverShownAsRunning)
{
    const juce::TemporaryFile userData;
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    StatusLog log;
    engine->addListener (&log);
    engine->setUserDataFolder (userData.getFile());

    // Once armed, the keyboard holds the sender in a block until the error stops it; what
    // the sender reports meanwhile waits, queued, while the error is acted on.
    std::atomic<bool> armed { false }, holding { false };
    ports->addOutputPort ("MORELTA49", [&] (const juce::MidiMessage&)
                          {
                              if (! armed || holding.exchange (true))
                                  return;

                              while (! juce::Thread::currentThreadShouldExit())
                                  juce::Thread::sleep (1); });

    manager->openMidiOutput ("MORELTA49");
    engine->getState().port1Name = "MORELTA49";
    engine->setEmergencyMode (true);
    ASSERT_TRUE (engine->beginUpdate());
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.heard (EngineStatus::sendingApp); }));

    log.statuses.clear();
    armed = true;
    ASSERT_TRUE (test::waitWithoutPumping ([&]
                                           { return holding.load(); },
                                           test::stepTimeoutMs));
    engine->reportError (EngineError::deviceUnavailable);
    test::pumpPending();

    // A notification of the running transfer, queued before the error, may still come
    // first; nothing of it may show after.
    EXPECT_EQ (log.errors, std::vector<int> { EngineError::deviceUnavailable });
    ASSERT_FALSE (log.statuses.empty());
    EXPECT_EQ (log.statuses.back(), EngineStatus::idle);
    EXPECT_TRUE (std::all_of (log.statuses.begin(), log.statuses.end() - 1, [] (int s)
                              { return s == EngineStatus::sendingApp; }))
        << ::testing::PrintToString (log.statuses);
    engine = nullptr;
    userData.getFile().deleteRecursively();
}
