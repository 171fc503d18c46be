// What keeps a user's keyboard and data safe around an update, through the window's
// real command path: no placeholder firmware for a real keyboard, no normal update
// without the keyboard's version, no restore into a keyboard that did not come back
// with the new firmware, and a backup that can be put back.

#include "KeyboardTestHelpers.h"
#include "TestApplication.h"
#include "engine/DetectDeviceInfo.h"
#include "engine/HalfRestoredMark.h"
#include "midi/JuceMidiPortSystem.h"
#include "resources/EmbeddedResources.h"
#include "sim/UpdateResultCheck.h"

using test::TestApplication;

namespace
{
const juce::String versionUnknownText = "The keyboard's firmware version is not known yet, so the update cannot start.\n"
                                        "Connect the keyboard and wait until the window shows its current firmware, then press UPDATE FIRMWARE again. "
                                        "A keyboard started in its update mode shows no version: press any key in this window for the emergency update.";
const juce::String tryAgainText = "Press Try again to send the firmware again as soon as the keyboard is connected: it usually waits for it in its update mode. "
                                  "Once the keyboard runs the new firmware, your settings and presets are put back.";
const juce::String emergencyIfNotText = "If that does not help, run an emergency update: press any key in this window, then UPDATE FIRMWARE, and follow the instructions.";

class RecoveryTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        keyboard.reset();

        if (app != nullptr)
            app->shutdown();

        app.reset();
        folder.getFile().deleteRecursively();
    }

    TestApplication& start (MidiPortSystem::Ptr ports = new VirtualMidiPortSystem())
    {
        app = std::make_unique<TestApplication> (folder.getFile().getChildFile ("common"), ports);
        app->initialise ({});

        if (app->ports != nullptr)
            app->ports->setTrafficObserver ([this] (const VirtualMidiPortSystem::TrafficRecord& r)
                                            {
                                                // The maker's messages, not Identity Requests.
                                                if (r.toDevice && r.message.getRawDataSize() > 1 && r.message.getRawData()[1] == 0x47)
                                                    ++sentToKeyboard; });
        return *app;
    }

    MainWindowComponent& window() { return app->getMainWindow()->getMainComponent(); }

    void plug (int keys, double version, std::initializer_list<const char*> faults = {}, juce::uint32 seed = 1, bool inUpdateMode = false, const juce::File& traceFile = {})
    {
        SimulatedKeyboard::Settings s;
        s.keys = keys;
        s.firmwareVersion = version;
        s.seed = seed;
        s.startsInUpdateMode = inUpdateMode;
        s.traceFile = traceFile;

        for (auto* f : faults)
            s.faults.push_back (*KeyboardFault::parse (f));

        // One keyboard unplugged, then the next plugged in: slower than a port poll.
        keyboard.reset();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return app->getMidiManager()->getNumOpenOutputs() == 0; }));
        keyboard = std::make_unique<SimulatedKeyboard> (app->ports, s);
    }

    bool windowShowsVersion (double version)
    {
        return test::pumpUntil ([&]
                                { return window().getCurrentVersionLabel().getText() == "Current Firmware: " + juce::String (version, 2); });
    }

    /** As the user does: presses a key, or the button, and the command runs. */
    void pressKey()
    {
        window().keyPressed (juce::KeyPress ('e'), &window());
        test::pumpPending();
    }

    void clickUpdate()
    {
        window().getUpdateButton().triggerClick();
        test::pumpPending();
    }

    void drop (const juce::File& dropped)
    {
        ASSERT_TRUE (window().isInterestedInFileDrag ({ dropped.getFullPathName() }));
        window().filesDropped ({ dropped.getFullPathName() }, 200, 150);
        test::pumpPending();
    }

    /** A backup folder as the keyboard's own account of its data makes it. */
    juce::File writeBackup (const juce::String& name, const SimulatedKeyboard::UserData& data, juce::uint8 code, const juce::String& manifest)
    {
        const auto dir = folder.getFile().getChildFile (name);
        dir.createDirectory();
        const auto files = UpdateResultCheck::backupFilesOf (data, code);

        for (size_t i = 0; i < files.size(); ++i)
            dir.getChildFile (i == 0 ? juce::String ("Globals.syx") : "Preset_" + juce::String ((int) i - 1) + ".syx").replaceWithData (files[i].data(), files[i].size());

        if (manifest.isNotEmpty())
            dir.getChildFile ("Manifest.json").replaceWithText (manifest);

        return dir;
    }

    const juce::TemporaryFile folder, trace { ".jsonl" };
    std::unique_ptr<TestApplication> app;
    std::unique_ptr<SimulatedKeyboard> keyboard;
    std::atomic<int> sentToKeyboard { 0 };
};
} // namespace

//==============================================================================
TEST_F (RecoveryTest, ANormalUpdateWaitsUntilTheKeyboardsVersionIsRead)
{
    auto& a = start();
    plug (49, 1.15);

    // Pressed before the keyboard answered: nothing starts, and the user is told why.
    clickUpdate();
    EXPECT_EQ (a.warnings, std::vector<juce::String> { versionUnknownText });
    EXPECT_FALSE (a.getEngine()->isBusy());
    EXPECT_EQ (sentToKeyboard.load(), 0);

    // Emergency mode switched on before the keyboard answered stops detection; switched
    // off again, the version is read after all.
    pressKey();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.getEngine()->getDetection()->isPolling(); }));
    EXPECT_EQ (a.getEngine()->getState().version, 0.0);
    pressKey();
    ASSERT_FALSE (a.isEmergencyMode());
    ASSERT_TRUE (windowShowsVersion (1.15));

    // Another keyboard of the same model, with other firmware: its own version is read.
    plug (49, 1.16);
    ASSERT_TRUE (windowShowsVersion (1.16));

    clickUpdate();
    EXPECT_TRUE (a.getEngine()->isBusy());
    EXPECT_EQ (a.warnings.size(), 1u);
}

TEST_F (RecoveryTest, PlaceholderFirmwareIsNeverSentToTheMachinesOwnPorts)
{
    if (! EmbeddedResources::firmwareIsPlaceholder)
        GTEST_SKIP() << "built with real firmware";

    auto& a = start (new JuceMidiPortSystem());
    ASSERT_NE (window().getPlaceholderLabel(), nullptr);
    EXPECT_TRUE (window().getPlaceholderLabel()->isVisible());
    a.getEngine()->getState().version = 1.16; // as if a keyboard had answered

    clickUpdate();
    pressKey();
    clickUpdate();

    ASSERT_EQ (a.warnings.size(), 2u);

    for (auto& text : a.warnings)
    {
        EXPECT_TRUE (text.startsWith ("This updater was built with placeholder firmware, which must never reach a keyboard, so it does not update one.")) << text;
        EXPECT_TRUE (text.contains ("-DMORELTA_FIRMWARE_DIR=")) << text;
    }

    EXPECT_TRUE (a.questions.empty()); // not even the emergency instructions
    EXPECT_FALSE (a.getEngine()->beginUpdate());
    EXPECT_FALSE (a.getEngine()->isBusy());
}

TEST_F (RecoveryTest, AKeyboardThatDoesNotComeBackWithTheNewFirmwareGetsNoRestoreAndItsBackupIsOfferedAfterTheEmergencyUpdate)
{
    auto& a = start();
    plug (49, 1.15, { "drop@assets-block:5000" }, 1, false, trace.getFile());
    ASSERT_TRUE (windowShowsVersion (1.15));
    const auto userDataBefore = keyboard->getUserData();

    clickUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.warnings.empty(); },
                                  test::updateTimeoutMs));

    const auto backupFolder = a.getEngine()->getLastBackupFolder();
    ASSERT_TRUE (backupFolder.isNotEmpty());
    EXPECT_EQ (a.warnings.back(), "The keyboard did not come back with the new firmware, so your settings and presets were not put back. They are safe in the backup folder:\n" + backupFolder + "\n" + tryAgainText + "\n" + emergencyIfNotText + " When it is done, the updater offers to put your settings and presets back.");
    EXPECT_EQ (a.tryAgainOffers, 1);

    // OK, not "Try again": nothing is sent again.
    test::pumpFor (1000);
    EXPECT_TRUE (keyboard->isInUpdateMode());
    EXPECT_EQ (a.getEngine()->getState().version, 0.0); // no longer what it runs

    const auto log = juce::File (backupFolder).getChildFile ("UpdateLog.txt").loadFileAsString();
    EXPECT_TRUE (log.contains ("Update of MORELTA49") && log.contains ("Firmware before: 1.15") && log.contains ("waitingForReboot")) << log;
    EXPECT_TRUE (log.contains ("ended: error: firmwareNotConfirmed") && log.contains ("Firmware after: unknown")) << log;

    // Nothing went back to the keyboard after the firmware.
    keyboard.reset(); // closes the trace
    const auto pauses = test::checkPauses (TrafficTrace::read (trace.getFile()));
    EXPECT_EQ (pauses.blocks, 9502);
    EXPECT_EQ (pauses.restoredGlobals + pauses.restoredPresetMessages, 0);

    // As the alert says: an emergency update of the keyboard, started in its update mode
    // by hand, then the backup back into it.
    plug (49, 1.15, {}, 1, true);
    pressKey();
    ASSERT_TRUE (a.isEmergencyMode());
    a.warnings.clear();
    clickUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.questions.size() == 2; },
                                  test::updateTimeoutMs));

    EXPECT_EQ (a.warnings, std::vector<juce::String> { "Firmware Update Complete." });
    EXPECT_EQ (a.questions[1], "The keyboard now runs the new firmware, with its factory settings and presets. A backup of your own was found:\n" + backupFolder + "\nPut it back into the keyboard now?");
    EXPECT_EQ (a.getEngine()->getState().version, 1.25);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.warnings.size() == 2 && ! a.getEngine()->isBusy(); },
                                  test::updateTimeoutMs));
    EXPECT_EQ (a.warnings.back(), "The backup was put back into the keyboard.");
    EXPECT_EQ (UpdateResultCheck::checkBackupRestored (*keyboard, backupFolder, SimulatedKeyboard::factoryDataFor (49)), "");
    EXPECT_EQ (keyboard->getUserData().globals, userDataBefore.globals);
}

TEST_F (RecoveryTest, TryAgainSendsBothImagesAgainAndPutsTheUsersOwnDataBack)
{
    auto& a = start();
    plug (49, 1.15, { "unplug=2000@assets-block:4000" });
    ASSERT_TRUE (windowShowsVersion (1.15));
    a.pressTryAgain = []
    { return true; };

    clickUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.warnings.size() == 2; },
                                  test::updateTimeoutMs));

    const auto backupFolder = a.getEngine()->getLastBackupFolder();
    EXPECT_EQ (a.warnings[0], "The firmware transfer stopped before the keyboard had all of it, so your settings and presets were not put back. They are safe in the backup folder:\n" + backupFolder + "\n" + tryAgainText + "\n" + emergencyIfNotText + " When it is done, the updater offers to put your settings and presets back.");
    EXPECT_EQ (a.warnings[1], "Firmware Update Complete.");
    EXPECT_EQ (a.tryAgainOffers, 1);
    EXPECT_TRUE (a.questions.empty());

    // By the keyboard's own account: the new firmware, and its own data, moved as the
    // firmware it had before needs.
    EXPECT_EQ (keyboard->getFirmwareVersion(), 1.25);
    EXPECT_EQ (keyboard->checkRestore(), "");
    EXPECT_EQ (a.getEngine()->getState().version, 1.25);
    EXPECT_FALSE (a.getEngine()->canTryAgain());

    const auto log = juce::File (backupFolder).getChildFile ("UpdateLog.txt").loadFileAsString();
    EXPECT_TRUE (log.contains ("ended: error: deviceUnavailable") && log.contains ("try 2: the firmware is sent again") && log.contains ("ended: completed")) << log;

    // The session could not end under either try; the taskbar showed the failure until
    // the second try, and nothing once it was done.
    const juce::String blocked = "blocked: Updating the keyboard's firmware: wait until it is complete, or the MORELTA keyboard may be left in an unusable state.";
    EXPECT_EQ (a.desktop().window, a.getMainWindow());
    EXPECT_EQ (a.desktop().asked, (juce::StringArray { "none", blocked, "running", "failed", "allowed", blocked, "running", "allowed", "none" })) << a.desktop().asked.joinIntoString (" | ");
}

TEST_F (RecoveryTest, ARestoreCutShortKeepsTheDataPutsItBackWhenTheKeyboardReturnsAndIsOfferedBeforeTheNextUpdate)
{
    auto& a = start();
    plug (49, 1.16, { "unplug=2000@restore:3000" });
    ASSERT_TRUE (windowShowsVersion (1.16));
    const auto dataBefore = keyboard->getUserData();
    juce::String backupFolder;

    // Pressed while the keyboard is still away: the data goes back once it has returned.
    a.pressPutBack = [&]
    {
        backupFolder = a.getEngine()->getLastBackupFolder();
        EXPECT_TRUE (HalfRestoredMark::isSet (backupFolder));
        return true;
    };

    clickUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.warnings.size() == 2 && ! a.getEngine()->isBusy(); },
                                  test::updateTimeoutMs));

    EXPECT_EQ (a.warnings[0], "Putting your settings and presets back into the keyboard was cut short: it holds only part of them. They are safe in the backup folder:\n" + backupFolder + "\nPress Put my settings back to put them back and check them as soon as the keyboard is connected.");
    EXPECT_EQ (a.warnings[1], "Your settings and presets were put back into the keyboard.");
    EXPECT_EQ (a.putBackOffers, 1);
    EXPECT_TRUE (keyboard->getUserData() == dataBefore);
    EXPECT_FALSE (HalfRestoredMark::isSet (backupFolder));
    EXPECT_FALSE (a.getEngine()->canPutBack());

    // Marked as a session that ended with the keyboard half-restored leaves it: the next
    // update offers that backup first, and puts it back when asked.
    ASSERT_TRUE (HalfRestoredMark::set (backupFolder));
    clickUpdate();
    ASSERT_EQ (a.questions.size(), 1u);
    EXPECT_EQ (a.questions[0], "This keyboard was left holding only part of your settings and presets. They are safe in the backup folder:\n" + backupFolder + "\nPut them back into the keyboard now, before anything else?");
    EXPECT_EQ (a.getEngine()->getRunKind(), RunKind::backupRestore);
}

TEST_F (RecoveryTest, TryAgainMakesTheUpdateButtonsChecksAndSaysWhyItRefuses)
{
    auto& a = start();
    plug (49, 1.16, { "unplug@app-block:100" }, 1, true);
    pressKey();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.getMidiManager()->getNumOpenOutputs() == 1; }));
    clickUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.tryAgainOffers == 1; },
                                  test::updateTimeoutMs));

    // Another keyboard plugged in meanwhile, of the same model or another: both would be
    // flashed, or the wrong one. Refused, the user is told why and may press it again.
    struct Case
    {
        int keys, portNumber;
        const char* why;
    };

    const Case cases[] = {
        { 49, 2, "More than one MORELTA keyboard is connected, so the firmware was not sent again.\nDisconnect all but the keyboard whose update failed, then press Try again." },
        { 25, 1, "The keyboard connected is not of the model whose update failed, so nothing was sent to it.\nConnect the keyboard whose update failed, then press Try again." },
    };

    for (auto& c : cases)
    {
        SimulatedKeyboard::Settings other;
        other.keys = c.keys;
        other.portNumber = c.portNumber;
        other.startsInUpdateMode = true;
        auto second = std::make_unique<SimulatedKeyboard> (app->ports, other);

        if (c.keys == 49)
            plug (49, 1.16, {}, 1, true); // the one whose update failed, back too

        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return a.getMidiManager()->getOutputNames().size() == (c.keys == 49 ? 6 : 3); }));
        const auto offers = a.tryAgainOffers;
        a.pressTryAgainNow();
        test::pumpPending();

        EXPECT_EQ (a.warnings.back(), c.why);
        EXPECT_EQ (a.tryAgainOffers, offers + 1);
        EXPECT_FALSE (a.getEngine()->isBusy());
        EXPECT_TRUE (second->getFlashedImage (FirmwareStreamChecker::Image::app).empty());
        keyboard.reset();
    }

    // The keyboard alone again: the firmware goes.
    plug (49, 1.16, {}, 1, true);
    a.pressTryAgainNow();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return a.warnings.back() == "Firmware Update Complete."; },
                                  test::updateTimeoutMs));
    EXPECT_EQ (keyboard->getFirmwareVersion(), 1.25);
}

TEST_F (RecoveryTest, AFolderDroppedOnTheWindowIsCheckedAndPutBackOnlyAfterAConfirmation)
{
    auto& a = start();
    plug (49, 1.25, {}, 3);
    ASSERT_TRUE (windowShowsVersion (1.25));

    const auto data = SimulatedKeyboard::makeUserData (9);
    const auto manifest = R"({"model": "MORELTA49", "firmwareVersion": "1.15", "time": "2026-12-01T10:00:00.000Z", "updaterVersion": "1.0.10"})";
    const auto good = writeBackup ("good", data, 0x2E, manifest);
    const auto otherModel = writeBackup ("61", data, 0x30, {});
    const auto shortPreset = writeBackup ("short", data, 0x2E, manifest);
    auto preset7 = UpdateResultCheck::backupFilesOf (data, 0x2E)[8];
    preset7.erase (preset7.begin() + 14 + 100 * 16, preset7.begin() + 14 + 101 * 16); // one Preset Data short
    shortPreset.getChildFile ("Preset_7.syx").replaceWithData (preset7.data(), preset7.size());
    const auto fewGlobals = writeBackup ("few", data, 0x2E, manifest);
    fewGlobals.getChildFile ("Globals.syx").replaceWithData (UpdateResultCheck::backupFilesOf (data, 0x2E)[0].data(), 13 * 14);
    const auto wrongManifest = writeBackup ("manifest", data, 0x2E, R"({"model": "MORELTA25", "firmwareVersion": "1.15", "time": "2026-12-01T10:00:00.000Z"})");

    const std::pair<juce::File, juce::String> refused[] = {
        { folder.getFile().getChildFile ("common"), "This is not a backup of a MORELTA keyboard: a backup is a folder that holds Globals.syx and the files Preset_0.syx to Preset_31.syx." },
        { good.getChildFile ("Globals.syx"), "This is not a backup of a MORELTA keyboard: a backup is a folder that holds Globals.syx and the files Preset_0.syx to Preset_31.syx." },
        { otherModel, "This backup is of a MORELTA61, but the keyboard connected is a MORELTA49. Nothing was sent to the keyboard." },
        { shortPreset, "This backup is damaged: Preset_7.syx does not hold a whole preset of this keyboard. Nothing was sent to the keyboard." },
        { fewGlobals, "This backup is damaged: Globals.syx holds 13 of the 14 global settings. Nothing was sent to the keyboard." },
        { wrongManifest, "This backup is damaged: Manifest.json does not describe this backup. Nothing was sent to the keyboard." },
    };

    for (auto& [dropped, why] : refused)
    {
        a.warnings.clear();
        drop (dropped);
        EXPECT_EQ (a.warnings, std::vector<juce::String> { why }) << dropped.getFullPathName();
    }

    EXPECT_TRUE (a.questions.empty());

    // Cancelled, nothing goes out; confirmed, the restore runs as an update's does.
    a.answer = [] (const juce::String&)
    { return false; };
    drop (good);
    ASSERT_EQ (a.questions, std::vector<juce::String> { "Put this backup back into the keyboard? Its global settings and presets replace those on the keyboard.\n" + good.getFullPathName() });
    EXPECT_FALSE (a.getEngine()->isBusy());
    EXPECT_EQ (sentToKeyboard.load(), 0);

    a.answer = [] (const juce::String&)
    { return true; };
    drop (good);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return sentToKeyboard > 14 + 100; }));

    // Unplugged in the middle: the user is told that the keyboard holds part of it, and
    // where it is; the folder says so too.
    a.warnings.clear();
    keyboard->unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! a.warnings.empty(); }));
    EXPECT_EQ (a.warnings, std::vector<juce::String> { "Putting your settings and presets back into the keyboard was cut short: it holds only part of them. They are safe in the backup folder:\n" + good.getFullPathName() + "\nPress Put my settings back to put them back and check them as soon as the keyboard is connected." });
    EXPECT_EQ (a.putBackOffers, 1);
    EXPECT_TRUE (good.getChildFile ("Preset_31.syx").existsAsFile());
    EXPECT_TRUE (HalfRestoredMark::isSet (good));
}

//==============================================================================
TEST (HeadlessRunner, AnUpdateWhoseImageIsLostEndsWithoutARestoreAndItsBackupGoesBackIntoAnotherKeyboard)
{
    const juce::TemporaryFile folder;
    const auto data = folder.getFile().getChildFile ("data");
    const auto trace = folder.getFile().getChildFile ("trace.jsonl");
    ASSERT_TRUE (data.createDirectory());

    auto run = [] (const juce::StringArray& options)
    {
        juce::StringArray command { MORELTA_SIM_UPDATE };
        command.addArray (options);
        juce::ChildProcess runner;

        if (! runner.start (command) || ! runner.waitForProcessToFinish (test::updateTimeoutMs))
            return std::pair (-1, juce::String ("did not end"));

        const auto output = runner.readAllProcessOutput();
        return std::pair ((int) runner.getExitCode(), output);
    };

    const auto [failed, failure] = run ({ "--firmware", "1.15", "--fault", "drop@assets-block:5000", "--data-dir", data.getFullPathName(), "--trace", trace.getFullPathName() });
    EXPECT_NE (failed, 0) << failure;
    EXPECT_TRUE (failure.contains ("error: firmwareNotConfirmed")) << failure;

    const auto pauses = test::checkPauses (TrafficTrace::read (trace));
    EXPECT_EQ (pauses.blocks, 9502);
    EXPECT_EQ (pauses.restoredGlobals + pauses.restoredPresetMessages, 0);

    const auto backups = BackupFolder::modelFolder (data, HardwareModel::morelta49).findChildFiles (juce::File::findDirectories, false);
    ASSERT_EQ (backups.size(), 1);

    // Into a keyboard that already runs the new firmware, with data of its own: the
    // runner checks that it then holds the backup's, moved as the old firmware needs.
    const auto [restored, restoring] = run ({ "--firmware", "1.25", "--seed", "7", "--restore-backup", backups[0].getFullPathName(), "--data-dir", data.getFullPathName() });
    EXPECT_EQ (restored, 0) << restoring;
    EXPECT_TRUE (restoring.contains ("the keyboard holds the backup's settings and presets")) << restoring;
}

TEST (HeadlessRunner, TryAgainEndsAFailedTransferWithTheKeyboardOnTheNewFirmwareAndItsOwnData)
{
    const juce::TemporaryFile folder;

    struct Run
    {
        juce::String fault;
        int tries;
        std::unique_ptr<juce::ChildProcess> process = std::make_unique<juce::ChildProcess>();
    };

    std::vector<Run> runs;

    for (auto* fault : { "drop@app-block:0", "drop@assets-block:5000", "unplug=3000@assets-block:4000" })
        for (auto tries : { 0, 1 })
            runs.push_back ({ fault, tries });

    // Side by side: each waits for the keyboard more than it works.
    for (size_t i = 0; i < runs.size(); ++i)
    {
        auto& r = runs[i];
        const auto data = folder.getFile().getChildFile (juce::String ((int) i));
        ASSERT_TRUE (data.createDirectory());
        ASSERT_TRUE (r.process->start (juce::StringArray { MORELTA_SIM_UPDATE, "--firmware", "1.15", "--fault", r.fault, "--try-again", juce::String (r.tries), "--wait-bounds", "2000,3000,5000", "--data-dir", data.getFullPathName() }));
    }

    for (auto& r : runs)
    {
        SCOPED_TRACE (r.fault + " with --try-again " + juce::String (r.tries));
        ASSERT_TRUE (r.process->waitForProcessToFinish (test::updateTimeoutMs));
        const auto output = r.process->readAllProcessOutput();

        // The runner checks the keyboard's own account: 1.25, its own data restored.
        if (r.tries == 0)
        {
            EXPECT_NE (r.process->getExitCode(), 0u) << output;
            EXPECT_FALSE (output.contains ("try again")) << output;
        }
        else
        {
            EXPECT_EQ (r.process->getExitCode(), 0u) << output;
            EXPECT_TRUE (output.contains ("try again") && output.contains ("its user data restored")) << output;
        }
    }
}

TEST (HeadlessRunner, AWaitThatGoesOnTooLongSaysSoAndGoesOnWaiting)
{
    const juce::TemporaryFile folder;
    const std::pair<const char*, const char*> cases[] = {
        { "drop@update-mode", "waiting too long: notInUpdateMode" },
        { "no-return@reboot", "waiting too long: notBack" },
    };

    std::vector<std::unique_ptr<juce::ChildProcess>> runs;

    for (auto& [fault, notice] : cases)
    {
        const auto data = folder.getFile().getChildFile (fault);
        ASSERT_TRUE (data.createDirectory());
        runs.push_back (std::make_unique<juce::ChildProcess>());
        ASSERT_TRUE (runs.back()->start (juce::StringArray { MORELTA_SIM_UPDATE, "--fault", fault, "--wait-bounds", "1000,2000,2000", "--timeout", "300", "--data-dir", data.getFullPathName() }));
    }

    for (size_t i = 0; i < runs.size(); ++i)
    {
        // It never ends by itself (only at its own time-out): read until the notice
        // shows, then end it.
        // A byte at a time: a read returns only once it has all it asked for.
        juce::String output;
        char byte = 0;

        while (! output.contains (cases[i].second) && runs[i]->readProcessOutput (&byte, 1) == 1)
            output += juce::String::charToString ((juce::juce_wchar) (juce::uint8) byte);

        EXPECT_TRUE (output.contains (cases[i].second)) << output;
        EXPECT_TRUE (runs[i]->isRunning()) << output;
        EXPECT_FALSE (output.contains ("error:")) << output;
        runs[i]->kill();
    }
}
