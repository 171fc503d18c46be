#include "LockHolderProcess.h"
#include "TestHelpers.h"
#include "app/MoreltaFirmwareUpdaterApplication.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

namespace
{
const juce::String companionText = "ZOQ Software is currently running.  Please close ZOQ Software(Standalone and plugin versions) to proceed with the firmware update.";
const juce::String busyQuitText = "Update in progress. Exiting the application while an update is in progress will leave the MORELTA keyboard in an unusable state.";

/** The application with its alert boxes and its quit recorded instead of shown. */
class TestApplication final : public MoreltaFirmwareUpdaterApplication
{
public:
    explicit TestApplication (const juce::File& commonData)
        : MoreltaFirmwareUpdaterApplication (Environment { new VirtualMidiPortSystem(), commonData })
    {
    }

    std::vector<juce::String> questions, warnings;
    std::function<bool (const juce::String&)> answer = [] (const juce::String&)
    { return true; };
    int quits = 0;

protected:
    bool askOkCancel (const juce::String& text) override
    {
        EXPECT_TRUE (test::isMessageThread());
        questions.push_back (text);
        return answer (text);
    }

    void showWarning (const juce::String& text) override
    {
        EXPECT_TRUE (test::isMessageThread());
        warnings.push_back (text);
    }

    void quitApplication() override { ++quits; }
};

class EmergencyListener final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int) override {}
    void progressChanged (double) override {}
    void errorOccurred (int) override {}
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool on) override { heard.push_back (on); }

    std::vector<bool> heard;
};

class ApplicationTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE (commonData.getFile().createDirectory()); }

    void TearDown() override
    {
        if (app != nullptr)
            app->shutdown();

        app.reset();
        commonData.getFile().deleteRecursively();
    }

    juce::File companionFolder() const { return commonData.getFile().getChildFile ("Ivra Professional").getChildFile ("zoq"); }
    juce::File lockFile() const { return companionFolder().getChildFile (".inuse.lck"); }

    TestApplication& start()
    {
        app = std::make_unique<TestApplication> (commonData.getFile());
        app->initialise ({});
        return *app;
    }

    const juce::TemporaryFile commonData;
    std::unique_ptr<TestApplication> app;
};
} // namespace

TEST_F (ApplicationTest, WithoutTheCompanionFolderStartsWithoutAlertAndHoldsNoLock)
{
    auto& a = start();
    EXPECT_TRUE (a.questions.empty());
    EXPECT_EQ (a.quits, 0);
    EXPECT_FALSE (a.holdsCompanionLock());
    EXPECT_FALSE (companionFolder().exists());
    EXPECT_EQ (a.getApplicationName(), "MORELTA Firmware Updater");
    EXPECT_EQ (a.getApplicationVersion(), "1.0.10");
    EXPECT_FALSE (a.moreThanOneInstanceAllowed());
}

TEST_F (ApplicationTest, StartsWithEveryListenerHearingEmergencyModeOff)
{
    auto& a = start();
    EmergencyListener listener;
    a.getEngine()->addListener (&listener);
    test::pumpFor (20);
    EXPECT_EQ (listener.heard, std::vector<bool> { false });
    EXPECT_FALSE (a.isEmergencyMode());
}

TEST_F (ApplicationTest, AStaleLockFileIsTakenAndLeftOnDiskAtTheEnd)
{
    ASSERT_TRUE (companionFolder().createDirectory());
    ASSERT_TRUE (lockFile().create());

    auto& a = start();
    EXPECT_TRUE (a.questions.empty());
    EXPECT_TRUE (a.holdsCompanionLock());

    a.shutdown();
    EXPECT_FALSE (a.holdsCompanionLock());
    EXPECT_TRUE (lockFile().existsAsFile());
}

TEST_F (ApplicationTest, TheUpdaterHoldsTheLockWhileItRuns)
{
    ASSERT_TRUE (companionFolder().createDirectory());
    auto& a = start();
    EXPECT_TRUE (a.holdsCompanionLock());

    test::LockHolderProcess companion (lockFile());
    EXPECT_FALSE (companion.isHolding());
}

TEST_F (ApplicationTest, WhileTheCompanionRunsTheUserIsAskedUntilItIsClosed)
{
    ASSERT_TRUE (companionFolder().createDirectory());
    test::LockHolderProcess companion (lockFile());
    ASSERT_TRUE (companion.isHolding());

    app = std::make_unique<TestApplication> (commonData.getFile());
    app->answer = [&] (const juce::String&)
    {
        // The user closes the companion software after the second alert.
        if (app->questions.size() == 2)
            companion.letGo();

        return true;
    };

    app->initialise ({});
    EXPECT_EQ (app->questions, (std::vector<juce::String> { companionText, companionText }));
    EXPECT_TRUE (app->holdsCompanionLock());
    EXPECT_EQ (app->quits, 0);
}

TEST_F (ApplicationTest, CancellingTheCompanionAlertQuitsWithoutAnotherQuestion)
{
    ASSERT_TRUE (companionFolder().createDirectory());
    test::LockHolderProcess companion (lockFile());
    ASSERT_TRUE (companion.isHolding());

    app = std::make_unique<TestApplication> (commonData.getFile());
    app->answer = [] (const juce::String&)
    { return false; };
    app->initialise ({});

    EXPECT_EQ (app->questions, std::vector<juce::String> { companionText });
    EXPECT_EQ (app->quits, 1);
    EXPECT_FALSE (app->holdsCompanionLock());
}

TEST_F (ApplicationTest, QuittingWhenIdleOrCompletedHappensAtOnce)
{
    auto& a = start();
    a.systemRequestedQuit();
    a.getEngine()->setStatus (EngineStatus::completed, 1.0);
    a.systemRequestedQuit();
    EXPECT_TRUE (a.questions.empty());
    EXPECT_EQ (a.quits, 2);
}

TEST_F (ApplicationTest, QuittingDuringAnUpdateAsksFirstAndCancelKeepsItRunning)
{
    auto& a = start();

    for (int status = EngineStatus::backingUpGlobals; status <= EngineStatus::restoringPresets; ++status)
    {
        a.getEngine()->getState().status = status;
        a.questions.clear();

        a.answer = [] (const juce::String&)
        { return false; };
        a.systemRequestedQuit();
        EXPECT_EQ (a.questions, std::vector<juce::String> { busyQuitText }) << status;
        EXPECT_EQ (a.quits, 0) << status;

        a.answer = [] (const juce::String&)
        { return true; };
        a.systemRequestedQuit();
        EXPECT_EQ (a.quits, 1) << status;
        a.quits = 0;
    }
}

TEST_F (ApplicationTest, CompletionIsAnnouncedAndSwitchesEmergencyModeOff)
{
    auto& a = start();
    test::pumpFor (20);
    EmergencyListener listener;
    a.getEngine()->addListener (&listener);
    a.getEngine()->setEmergencyMode (true);
    test::pumpFor (20);

    a.getEngine()->setStatus (EngineStatus::sendingAssets, 0.5);
    a.getEngine()->setStatus (EngineStatus::completed, 0.0);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.warnings.empty(); }));
    test::pumpFor (20);

    EXPECT_EQ (a.warnings, std::vector<juce::String> { "Firmware Update Complete." });
    EXPECT_FALSE (a.isEmergencyMode());
    EXPECT_FALSE (a.getEngine()->getState().emergencyMode.load());
    EXPECT_EQ (listener.heard, (std::vector<bool> { true, false }));
}

TEST_F (ApplicationTest, EachErrorIsAnnouncedWithItsTextAndSwitchesEmergencyModeOff)
{
    const std::pair<int, juce::String> cases[] = {
        { EngineError::deviceUnavailable, "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support." },
        { EngineError::globalsTimeout, "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support." },
        { EngineError::presetTimeout, "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support." },
        { EngineError::backupDataError, "There was an error reading or writing to the user data backup." },
    };

    auto& a = start();

    for (auto& [code, text] : cases)
    {
        a.warnings.clear();
        a.getEngine()->setEmergencyMode (true);
        a.getEngine()->setStatus (EngineStatus::backingUpGlobals, 0.0);
        std::thread worker ([&a, code = code]
                            { a.getEngine()->reportError (code); });
        worker.join();

        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return ! a.warnings.empty(); }))
            << code;
        test::pumpFor (20);
        EXPECT_EQ (a.warnings, std::vector<juce::String> { text }) << code;
        EXPECT_FALSE (a.getEngine()->getState().emergencyMode.load());
        EXPECT_FALSE (a.getEngine()->isBusy());
    }
}
