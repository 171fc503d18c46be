#include "LockHolderProcess.h"
#include "TestApplication.h"

#include <gtest/gtest.h>

using test::TestApplication;

namespace
{
const juce::String companionText = "ZOQ Software is currently running.  Please close ZOQ Software(Standalone and plugin versions) to proceed with the firmware update.";
const juce::String busyQuitText = "Update in progress. Exiting the application while an update is in progress will leave the MORELTA keyboard in an unusable state.";

class EmergencyListener final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int status) override { statuses.push_back (status); }
    void progressChanged (double) override {}
    void errorOccurred (int) override {}
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool on) override { heard.push_back (on); }

    std::vector<bool> heard;
    std::vector<int> statuses;
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
    test::pumpPending();
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
    test::pumpPending();

    a.getEngine()->setStatus (EngineStatus::sendingAssets, 0.5);
    a.getEngine()->setStatus (EngineStatus::completed, 0.0);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.warnings.empty(); }));
    test::pumpPending();

    EXPECT_EQ (a.warnings, std::vector<juce::String> { "Firmware Update Complete." });
    EXPECT_FALSE (a.isEmergencyMode());
    EXPECT_FALSE (a.getEngine()->getState().emergencyMode);
    EXPECT_EQ (listener.heard, (std::vector<bool> { true, false }));
}

TEST_F (ApplicationTest, EachErrorIsAnnouncedWithItsTextAndSwitchesEmergencyModeOff)
{
    const auto aborted = "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support.";
    const auto nothingSent = "The update stopped before anything was sent to the keyboard: its firmware, settings and presets are as they were. Please try the update again. If you continue to receive this error, contact Customer Support.";
    const std::tuple<int, juce::String, juce::String> cases[] = {
        { EngineError::deviceUnavailable, "", aborted },
        { EngineError::globalsTimeout, "", nothingSent },
        { EngineError::globalsTimeout, "The keyboard's global settings could not be read whole.", juce::String ("The keyboard's global settings could not be read whole. ") + nothingSent },
        { EngineError::presetTimeout, "Preset 4 could not be read whole from the keyboard.", juce::String ("Preset 4 could not be read whole from the keyboard. ") + nothingSent },
        { EngineError::backupDataError, "", "There was an error reading or writing to the user data backup." },
    };

    auto& a = start();

    for (auto& [code, detail, text] : cases)
    {
        a.warnings.clear();
        a.getEngine()->setEmergencyMode (true);
        a.getEngine()->setErrorDetail (detail);
        a.getEngine()->setStatus (EngineStatus::backingUpGlobals, 0.0);
        std::thread worker ([&a, code = code]
                            { a.getEngine()->reportError (code); });
        worker.join();

        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return ! a.warnings.empty(); }))
            << code;
        test::pumpFor (20);
        EXPECT_EQ (a.warnings, std::vector<juce::String> { text }) << code;
        EXPECT_FALSE (a.getEngine()->getState().emergencyMode);
        EXPECT_FALSE (a.getEngine()->isBusy());
    }
}

//==============================================================================
namespace
{
const juce::String emergencyInstructions = "To perform an emergency update:\n1. Power MORELTA keyboard while holding ENTER + FULL LEVEL\n2. Press SHIFT when instructed on MORELTA keyboard screen.\n3. Press OK here to continue.";

/** As the window asks: asynchronously, then the message loop runs until it is done. */
void invokeAsTheWindowDoes (TestApplication& a, juce::CommandID command)
{
    juce::ApplicationCommandTarget::InvocationInfo info (command);
    info.invocationMethod = juce::ApplicationCommandTarget::InvocationInfo::direct;
    a.getCommandManager()->invoke (info, true);
    test::pumpPending();
}

bool isActive (TestApplication& a, juce::CommandID command)
{
    juce::ApplicationCommandInfo info (command);
    a.getCommandInfo (command, info);
    return (info.flags & juce::ApplicationCommandInfo::isDisabled) == 0;
}
} // namespace

TEST_F (ApplicationTest, TheCommandsAreRegisteredInOrderWithTheirNames)
{
    auto& a = start();
    juce::Array<juce::CommandID> ids;
    a.getAllCommands (ids);
    EXPECT_EQ (ids, (juce::Array<juce::CommandID> { 0x200000, 0x200001, 0x200002 }));

    const std::pair<juce::CommandID, juce::String> names[] = { { 0x200000, "Update" }, { 0x200001, "Toggle EmergencyMode" }, { 0x200002, "Restore Backup" } };

    for (auto& [id, name] : names)
    {
        const auto* info = a.getCommandManager()->getCommandForID (id);
        ASSERT_NE (info, nullptr) << name;
        EXPECT_EQ (info->shortName, name);
        EXPECT_EQ (info->categoryName, "General");
        EXPECT_TRUE (info->description.isEmpty());
        EXPECT_TRUE (info->defaultKeypresses.isEmpty());
        EXPECT_TRUE (isActive (a, id));
    }
}

TEST_F (ApplicationTest, UpdateStartsAtOnceWithTheGlobalBackupWhenNotInEmergencyMode)
{
    auto& a = start();
    test::pumpFor (20);
    ASSERT_NE (a.getEngine()->getDetection(), nullptr);
    a.getEngine()->getState().version = 1.16; // as read from the keyboard

    EXPECT_TRUE (a.getCommandManager()->invokeDirectly (ApplicationCommandIDs::updateCommandID, false));

    EXPECT_TRUE (a.questions.empty());
    EXPECT_EQ (a.getEngine()->getState().status, EngineStatus::backingUpGlobals);
    EXPECT_TRUE (a.getEngine()->isBusy());
    EXPECT_EQ (a.getEngine()->getDetection(), nullptr);
}

TEST_F (ApplicationTest, EmergencyUpdateShowsTheInstructionsAndCancelChangesNothing)
{
    auto& a = start();
    EmergencyListener listener;
    a.getEngine()->addListener (&listener);
    invokeAsTheWindowDoes (a, ApplicationCommandIDs::toggleEmergencyModeCommandID);
    ASSERT_TRUE (a.isEmergencyMode());

    listener.statuses.clear();
    a.answer = [] (const juce::String&)
    { return false; };
    invokeAsTheWindowDoes (a, ApplicationCommandIDs::updateCommandID);

    EXPECT_EQ (a.questions, std::vector<juce::String> { emergencyInstructions });
    EXPECT_EQ (a.getEngine()->getState().status, EngineStatus::idle);
    EXPECT_NE (a.getEngine()->getDetection(), nullptr);
    EXPECT_TRUE (listener.statuses.empty());
    EXPECT_TRUE (a.isEmergencyMode());
}

TEST_F (ApplicationTest, EmergencyUpdateAfterOkStartsSilentlyWithTheTransfer)
{
    auto& a = start();
    EmergencyListener listener;
    a.getEngine()->addListener (&listener);
    invokeAsTheWindowDoes (a, ApplicationCommandIDs::toggleEmergencyModeCommandID);
    listener.statuses.clear();

    a.getCommandManager()->invokeDirectly (ApplicationCommandIDs::updateCommandID, false);

    EXPECT_EQ (a.questions, std::vector<juce::String> { emergencyInstructions });
    EXPECT_EQ (a.getEngine()->getState().status, EngineStatus::startingEmergencyUpdate);
    EXPECT_TRUE (a.getEngine()->isBusy());

    // Without a keyboard the update ends at once, and status 3 is never announced.
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.getEngine()->isBusy() && ! a.warnings.empty(); }));
    EXPECT_EQ (std::count (listener.statuses.begin(), listener.statuses.end(), EngineStatus::startingEmergencyUpdate), 0);
}

TEST_F (ApplicationTest, WhileAnUpdateRunsNeitherCommandDoesAnything)
{
    auto& a = start();
    test::pumpFor (20);

    for (int status = EngineStatus::backingUpGlobals; status <= EngineStatus::restoringPresets; ++status)
    {
        a.getEngine()->getState().status = status;
        EXPECT_FALSE (isActive (a, ApplicationCommandIDs::updateCommandID)) << status;
        EXPECT_FALSE (isActive (a, ApplicationCommandIDs::toggleEmergencyModeCommandID)) << status;
        EXPECT_FALSE (isActive (a, ApplicationCommandIDs::restoreBackupCommandID)) << status;

        invokeAsTheWindowDoes (a, ApplicationCommandIDs::toggleEmergencyModeCommandID);
        invokeAsTheWindowDoes (a, ApplicationCommandIDs::updateCommandID);
        EXPECT_FALSE (a.isEmergencyMode()) << status;
        EXPECT_EQ (a.getEngine()->getState().status, status);
        EXPECT_TRUE (a.questions.empty());
    }

    a.getEngine()->getState().status = EngineStatus::completed;
    EXPECT_TRUE (isActive (a, ApplicationCommandIDs::updateCommandID));
    EXPECT_TRUE (isActive (a, ApplicationCommandIDs::toggleEmergencyModeCommandID));
}

TEST_F (ApplicationTest, TwoTogglesRestoreTheModeAndEachIsHeardByEveryListener)
{
    auto& a = start();
    EmergencyListener listener;
    a.getEngine()->addListener (&listener);
    test::pumpPending();
    listener.heard.clear();

    invokeAsTheWindowDoes (a, ApplicationCommandIDs::toggleEmergencyModeCommandID);
    EXPECT_TRUE (a.isEmergencyMode());
    EXPECT_TRUE (a.getMainWindow()->getMainComponent().getEmergencyLabel().isVisible());

    invokeAsTheWindowDoes (a, ApplicationCommandIDs::toggleEmergencyModeCommandID);
    EXPECT_FALSE (a.isEmergencyMode());
    EXPECT_FALSE (a.getEngine()->getState().emergencyMode);
    EXPECT_FALSE (a.getMainWindow()->getMainComponent().getEmergencyLabel().isVisible());
    EXPECT_EQ (listener.heard, (std::vector<bool> { true, false }));
}

TEST_F (ApplicationTest, TheWindowHearsEachNotificationBeforeTheApplication)
{
    auto& a = start();
    test::pumpFor (20);
    auto& window = a.getMainWindow()->getMainComponent();

    // By the time the application announces completion, the window shows it.
    juce::String shownAtTheAlert;
    a.onWarning = [&]
    { shownAtTheAlert = window.getStatusLabel().getText(); };
    a.getEngine()->setStatus (EngineStatus::completed, 0.0);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.warnings.empty(); }));
    EXPECT_EQ (shownAtTheAlert, "Status: Update complete");
    EXPECT_EQ (a.getMainWindow()->getName(), "MORELTA Firmware Updater");
}

TEST_F (ApplicationTest, TheWindowsCloseButtonGoesThroughTheQuitGuard)
{
    auto& a = start();
    a.getEngine()->getState().status = EngineStatus::sendingAssets;
    a.answer = [] (const juce::String&)
    { return false; };

    a.getMainWindow()->closeButtonPressed();
    EXPECT_EQ (a.questions, std::vector<juce::String> { busyQuitText });
    EXPECT_EQ (a.quits, 0);

    a.getEngine()->getState().status = EngineStatus::idle;
    a.getMainWindow()->closeButtonPressed();
    EXPECT_EQ (a.questions.size(), 1u);
    EXPECT_EQ (a.quits, 1);
}
