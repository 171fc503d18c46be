#include "TestHelpers.h"
#include "engine/ApplicationEngine.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

#include <numeric>

namespace
{
/** Logs every notification as text, and checks it arrives on the message thread. */
class LoggingListener final : public ApplicationEngine::Listener
{
public:
    explicit LoggingListener (juce::String n = {})
        : name (std::move (n))
    {
    }

    void statusChanged (int s) override { log ("status " + juce::String (s)); }
    void progressChanged (double p) override { log ("progress " + juce::String (p, 2)); }
    void errorOccurred (int e) override { log ("error " + juce::String (e)); }
    // Detection reports model and version every second; only tests that ask hear them.
    void firmwareVersionChanged (double v) override
    {
        if (logModelAndVersion)
            log ("version " + juce::String (v, 2));
    }

    void hardwareModelChanged (int m) override
    {
        if (logModelAndVersion)
            log ("model " + juce::String (m));
    }
    void emergencyModeChanged (bool on) override { log (on ? "emergency on" : "emergency off"); }

    std::vector<juce::String> take()
    {
        auto result = events;
        events.clear();
        return result;
    }

    std::vector<juce::String> events;
    std::function<void (const juce::String&)> onEvent;
    bool logModelAndVersion = false;

private:
    void log (const juce::String& text)
    {
        EXPECT_TRUE (test::isMessageThread());
        events.push_back (name.isEmpty() ? text : name + ": " + text);

        if (onEvent != nullptr)
            onEvent (text);
    }

    const juce::String name;
};

class ApplicationEngineTest : public ::testing::Test
{
protected:
    ApplicationEngineTest()
    {
        engine->addListener (&listener);
        engine->setUserDataFolder (userData.getFile()); // never the user's own
    }

    ~ApplicationEngineTest() override
    {
        engine = nullptr;
        userData.getFile().deleteRecursively();
    }

    /** Delivers everything queued so far. */
    void settle() { test::pumpPending(); }

    const juce::TemporaryFile userData;
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    LoggingListener listener;
};

using Events = std::vector<juce::String>;
} // namespace

TEST_F (ApplicationEngineTest, StartsIdleAndSaysNothingUntilAsked)
{
    settle();
    EXPECT_TRUE (listener.events.empty());
    auto& s = engine->getState();
    EXPECT_EQ (s.status, EngineStatus::idle);
    EXPECT_EQ (s.model, HardwareModel::unknown);
    EXPECT_EQ (s.version, 0.0);
    EXPECT_FALSE (s.emergencyMode);
}

TEST_F (ApplicationEngineTest, IsBusyInEveryStatusButIdleAndCompleted)
{
    for (int s = EngineStatus::idle; s <= EngineStatus::completed; ++s)
    {
        engine->getState().status = s;
        EXPECT_EQ (engine->isBusy(), s != EngineStatus::idle && s != EngineStatus::completed) << s;
    }
}

TEST_F (ApplicationEngineTest, StatusChangesArriveInOrderEachWithItsProgressBeforeItsStatus)
{
    engine->setStatus (EngineStatus::backingUpGlobals, 0.25);
    engine->setStatus (EngineStatus::backingUpPresets, 0.5);
    EXPECT_EQ (engine->getState().status, EngineStatus::backingUpPresets);
    EXPECT_EQ (engine->getState().progress, 0.5);
    EXPECT_TRUE (listener.events.empty()); // never delivered on the caller's stack

    settle();
    EXPECT_EQ (listener.take(), (Events { "progress 0.25", "status 1", "progress 0.50", "status 2" }));
}

TEST_F (ApplicationEngineTest, ListenersHearEachNotificationLastAddedFirstAndOnlyOnce)
{
    LoggingListener second ("second"), third ("third");
    engine->addListener (&second);
    engine->addListener (&third);
    engine->addListener (&second);
    engine->addListener (nullptr);

    engine->setEmergencyMode (true);
    settle();

    EXPECT_EQ (third.take(), (Events { "third: emergency on" }));
    EXPECT_EQ (second.take(), (Events { "second: emergency on" }));
    EXPECT_EQ (listener.take(), (Events { "emergency on" }));
    EXPECT_TRUE (engine->getState().emergencyMode);
}

TEST_F (ApplicationEngineTest, ListenersAreCalledFromTheMostRecentlyAdded)
{
    std::vector<juce::String> order;
    LoggingListener second ("second");
    engine->addListener (&second);
    listener.onEvent = [&] (const juce::String&)
    { order.push_back ("first"); };
    second.onEvent = [&] (const juce::String&)
    { order.push_back ("second"); };

    engine->setStatus (EngineStatus::sendingApp, 0.1);
    settle();
    EXPECT_EQ (order, (Events { "second", "first", "second", "first" }));
}

TEST_F (ApplicationEngineTest, AnErrorIsReportedThenTheEngineReturnsToIdle)
{
    engine->setStatus (EngineStatus::backingUpPresets, 0.3);
    engine->getState().globals.push_back (EngineState::Message (14));
    engine->getState().presets.push_back ({});
    settle();
    listener.take();

    engine->reportError (EngineError::presetTimeout);
    EXPECT_EQ (engine->getState().status, EngineStatus::idle);
    EXPECT_TRUE (engine->getState().globals.empty());
    EXPECT_TRUE (engine->getState().presets.empty());

    settle();
    EXPECT_EQ (listener.take(), (Events { "error 2", "progress 0.00", "status 0" }));
}

TEST_F (ApplicationEngineTest, AnErrorFromAWorkerThreadActsOnTheMessageThreadInTheSameOrder)
{
    engine->setStatus (EngineStatus::restoringPresets, 0.5);
    settle();
    listener.take();

    std::thread worker ([this]
                        { engine->reportError (EngineError::deviceUnavailable); });
    worker.join();
    EXPECT_EQ (engine->getState().status, EngineStatus::restoringPresets); // not acted on yet

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.events.size() == 3; }));
    settle();
    EXPECT_EQ (listener.take(), (Events { "error 0", "progress 0.00", "status 0" }));
}

TEST_F (ApplicationEngineTest, ErrorsRacingFromSeveralThreadsStopTheUpdateOnce)
{
    engine->setStatus (EngineStatus::backingUpGlobals, 0.0);
    settle();
    listener.take();

    std::vector<std::thread> workers;

    for (int i = 0; i < 4; ++i)
        workers.emplace_back ([this]
                              { engine->reportError (EngineError::globalsTimeout); });

    for (auto& w : workers)
        w.join();

    settle();
    EXPECT_EQ (listener.take(), (Events { "error 1", "progress 0.00", "status 0" }));
}

TEST_F (ApplicationEngineTest, AWorkersReportThatArrivesAfterAResetIsDropped)
{
    engine->setStatus (EngineStatus::restoringGlobals, 0.0);

    std::thread worker ([this]
                        {
                            engine->reportError (EngineError::deviceUnavailable);
                            engine->stepCompleted (EngineStatus::restoringGlobals); });
    worker.join();

    // The update ends by another way before the reports reach the message thread.
    engine->reset (true);
    engine->setStatus (EngineStatus::restoringGlobals, 0.0);
    settle();

    EXPECT_EQ (listener.take(), (Events { "progress 0.00", "status 8", "progress 0.00", "status 0", "progress 0.00", "status 8" }));
    EXPECT_EQ (engine->getState().status, EngineStatus::restoringGlobals);
}

TEST_F (ApplicationEngineTest, StepCompletionsAreIgnoredWhenNoUpdateRuns)
{
    engine->stepCompleted (EngineStatus::backingUpGlobals);
    engine->setStatus (EngineStatus::completed, 0.0);
    engine->stepCompleted (EngineStatus::restoringPresets);
    EXPECT_EQ (engine->getState().status, EngineStatus::completed);

    settle();
    EXPECT_EQ (listener.take(), (Events { "progress 0.00", "status 10" }));
}

TEST_F (ApplicationEngineTest, ModelAndVersionAreReadWhenDelivered)
{
    listener.logModelAndVersion = true;
    auto& s = engine->getState();
    s.model = HardwareModel::morelta25;
    s.version = 1.15;
    engine->notifyModelAndVersion();
    s.model = HardwareModel::morelta61;
    s.version = 1.16;
    engine->notifyModelAndVersion();

    settle();
    EXPECT_EQ (listener.take(), (Events { "model 2", "version 1.16", "model 2", "version 1.16" }));
}

TEST_F (ApplicationEngineTest, ANotificationRaisedDuringDeliveryComesInTheNextPass)
{
    bool raised = false;
    listener.onEvent = [&] (const juce::String& e)
    {
        if (e == "status 1" && ! raised)
        {
            raised = true;
            engine->setStatus (EngineStatus::backingUpPresets, 0.0);
        }
    };

    engine->setStatus (EngineStatus::backingUpGlobals, 0.0);
    engine->setEmergencyMode (false);
    settle();
    EXPECT_EQ (listener.take(), (Events { "progress 0.00", "status 1", "emergency off", "progress 0.00", "status 2" }));
}

TEST (NotificationQueue, AWorkerMayQueueWhileTheMessageThreadDelivers)
{
    struct Queue final : public QueueASyncUpdater
    {
    };

    struct Note final : public ListenerUpdater
    {
        Note (std::vector<int>& l, int v)
            : log (l)
            , value (v)
        {
        }

        void deliver() override
        {
            EXPECT_TRUE (test::isMessageThread());
            log.push_back (value);
        }

        std::vector<int>& log;
        const int value;
    };

    constexpr int count = 2000;
    std::vector<int> delivered;
    juce::ReferenceCountedObjectPtr<Queue> queue = new Queue();
    std::thread worker ([&]
                        {
                            for (int i = 0; i < count; ++i)
                                queue->queueUpdate (new Note (delivered, i)); });

    const bool allArrived = test::pumpUntil ([&]
                                             { return delivered.size() >= (size_t) count; },
                                             20000);
    worker.join();
    ASSERT_TRUE (allArrived);
    test::pumpPending();

    // Every one once, in order.
    std::vector<int> expected (count);
    std::iota (expected.begin(), expected.end(), 0);
    EXPECT_EQ (delivered, expected);
}

TEST_F (ApplicationEngineTest, DestroyingTheEngineDropsUndeliveredNotifications)
{
    engine->setStatus (EngineStatus::backingUpGlobals, 0.0);
    engine->setEmergencyMode (true);
    engine->reportError (EngineError::backupDataError);
    std::thread worker ([this]
                        { engine->reportError (EngineError::deviceUnavailable); });
    worker.join();

    engine = nullptr;
    settle();
    EXPECT_TRUE (listener.events.empty());
}

TEST_F (ApplicationEngineTest, ResetKeepsWhatIsKnownOfTheKeyboard)
{
    auto& s = engine->getState();
    s.port1Name = "MORELTA49";
    s.port3Name = "MIDIIN3 (MORELTA49)";
    s.model = HardwareModel::morelta49;
    s.version = 1.16;
    s.emergencyMode = true;
    s.usesPrivateDriver = true;

    engine->reset (true);

    EXPECT_EQ (s.port1Name, "MORELTA49");
    EXPECT_EQ (s.port3Name, "MIDIIN3 (MORELTA49)");
    EXPECT_EQ (s.model, HardwareModel::morelta49);
    EXPECT_EQ (s.version, 1.16);
    EXPECT_TRUE (s.emergencyMode);
    EXPECT_TRUE (s.usesPrivateDriver);
}
