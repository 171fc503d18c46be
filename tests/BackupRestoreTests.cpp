#include "KeyboardTestHelpers.h"
#include "engine/AgreeingReads.h"
#include "engine/ApplicationEngine.h"
#include "engine/ReplyCollector.h"
#include "engine/RestorePlan.h"
#include "sim/UpdateResultCheck.h"

#include <gtest/gtest.h>

#if ! JUCE_WINDOWS
#include <sys/stat.h>
#include <unistd.h>
#endif

using test::Bytes;

namespace
{
/** Records the engine's notifications, on the message thread. */
class UpdateListener final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int s) override
    {
        statuses.push_back (s);
        steps.push_back ({ s, progress.empty() ? 0.0 : progress.back() });

        if (onStatus != nullptr)
            onStatus (s);
    }
    void progressChanged (double p) override { progress.push_back (p); }
    void errorOccurred (int e) override
    {
        errors.push_back (e);

        if (onError != nullptr)
            onError();
    }

    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    bool heard (int status) const { return std::find (statuses.begin(), statuses.end(), status) != statuses.end(); }

    /** The progress that came with the first or the last notification of this status. */
    double progressOf (int status, bool first) const
    {
        double found = -1.0;

        for (auto& [s, p] : steps)
        {
            if (s == status)
            {
                found = p;

                if (first)
                    break;
            }
        }

        return found;
    }

    /** The first progress outside 0 to 1, or lower than the one before in the same step. */
    juce::String checkProgress() const
    {
        for (size_t i = 0; i < steps.size(); ++i)
        {
            const auto [s, p] = steps[i];

            if (p < 0.0 || p > 1.0 || (i > 0 && s == steps[i - 1].first && p < steps[i - 1].second))
                return "status " + juce::String (s) + ": progress " + juce::String (p, 6) + " at notification " + juce::String ((int) i);
        }

        return {};
    }

    std::vector<int> statuses, errors;
    std::vector<double> progress;
    std::vector<std::pair<int, double>> steps; // each status notification with its progress
    std::function<void (int)> onStatus;
    std::function<void()> onError;
};

/** The updater's engine, a simulated keyboard on its ports, and a user data folder of
    its own.
*/
struct Rig
{
    explicit Rig (SimulatedKeyboard::Settings settings)
    {
        ports->setTrafficObserver ([this] (const VirtualMidiPortSystem::TrafficRecord& r)
                                   {
                                       lastTrafficUs = r.microseconds;

                                       // The maker's messages only: detection's Identity Requests are not counted.
                                       if (r.toDevice && r.message.getRawDataSize() > 1 && r.message.getRawData()[1] == 0x47)
                                           ++sentToKeyboard; });
        settings.traceFile = traceFile.getFile();
        keyboard = std::make_unique<SimulatedKeyboard> (ports, settings);
        engine->addListener (&listener);
        listener.onError = [this]
        { quietBeforeErrorUs = ports->getMicroseconds() - lastTrafficUs; };
        engine->setUserDataFolder (userData.getFile());
        connect();

        // Count what the restore sends: the restore worker starts after this notification.
        listener.onStatus = [this] (int s)
        {
            if (s == EngineStatus::restoringGlobals && ! listener.heard (EngineStatus::restoringPresets)
                && std::count (listener.statuses.begin(), listener.statuses.end(), s) == 1)
                sentToKeyboard = 0;
        };
    }

    ~Rig()
    {
        engine = nullptr;
        keyboard.reset();
        userData.getFile().deleteRecursively();
    }

    /** Opens the keyboard's ports and fills in what detection would have found. */
    void connect()
    {
        const auto port1 = keyboard->getModelName();
        manager->openMidiInput (port1);
        manager->openMidiInput (keyboard->getInputNames()[2]);
        manager->openMidiOutput (port1);

        auto& state = engine->getState();
        state.port1Name = port1;
        state.port3Name = keyboard->getInputNames()[2];
        state.model = keyboard->getModelCode() == 0x2F ? 0 : (keyboard->getModelCode() == 0x2E ? 1 : 2);
        state.version = keyboard->getFirmwareVersion();
    }

    void startUpdate() { engine->beginUpdate(); }

    juce::File backupFolder() const { return juce::File (engine->getBackupFolder()); }

    /** Everything that crossed the cable, by the keyboard's account; unplugs it. */
    std::vector<TrafficTrace::Line> closeTrace()
    {
        keyboard.reset();
        return TrafficTrace::read (traceFile.getFile());
    }

    const juce::TemporaryFile userData, traceFile { ".jsonl" };
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    std::unique_ptr<SimulatedKeyboard> keyboard;
    UpdateListener listener;
    std::atomic<int> sentToKeyboard { 0 };
    std::atomic<juce::int64> lastTrafficUs { 0 };
    juce::int64 quietBeforeErrorUs = 0; // from the last message either way to the error
};

SimulatedKeyboard::Settings keyboardSettings (int keys, double version = 1.16, std::initializer_list<const char*> faults = {})
{
    SimulatedKeyboard::Settings s;
    s.keys = keys;
    s.firmwareVersion = version;
    s.seed = (juce::uint32) keys * 31 + 7;

    for (auto* f : faults)
        s.faults.push_back (*KeyboardFault::parse (f));

    return s;
}

Bytes fileBytes (const juce::File& f)
{
    juce::MemoryBlock block;
    f.loadFileAsData (block);
    return { (const juce::uint8*) block.getData(), (const juce::uint8*) block.getData() + block.getSize() };
}
} // namespace

//==============================================================================
TEST (Backup, ReadsEveryGlobalAndPresetIntoMemoryAndIntoItsFiles)
{
    Rig rig (keyboardSettings (61));
    const auto data = rig.keyboard->getUserData();
    rig.startUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.listener.heard (EngineStatus::erasingFirmware); },
                                  test::updateTimeoutMs));
    EXPECT_TRUE (rig.listener.errors.empty());

    const auto folder = rig.backupFolder();
    EXPECT_EQ (folder.getParentDirectory(), rig.userData.getFile().getChildFile ("Ivra Professional").getChildFile ("MORELTA61"));

    // The replies back to back, in the order they came (here, asked), as the keyboard
    // itself would write them.
    const auto expected = UpdateResultCheck::backupFilesOf (data, 0x30);
    EXPECT_EQ (fileBytes (folder.getChildFile ("Globals.syx")).size(), 196u);
    EXPECT_EQ (fileBytes (folder.getChildFile ("Globals.syx")), expected[0]);

    for (int p = 0; p < 32; ++p)
    {
        const auto file = fileBytes (folder.getChildFile ("Preset_" + juce::String (p) + ".syx"));
        ASSERT_EQ (file.size(), 6167u) << p;
        ASSERT_EQ (file, expected[(size_t) p + 1]) << p;
    }

    // And the manifest, which says what the files came from.
    EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFiles), 34);
    juce::String problem;
    const auto readBack = BackupFolder::read (folder, problem);
    ASSERT_TRUE (readBack.has_value() && readBack->manifest.has_value()) << problem;
    EXPECT_EQ (readBack->manifest->model, HardwareModel::morelta61);
    EXPECT_EQ (readBack->manifest->firmwareVersion, 1.16);
    EXPECT_EQ (readBack->manifest->updaterVersion, "1.0.10");
    EXPECT_LT (std::abs ((readBack->manifest->time - juce::Time::getCurrentTime()).inSeconds()), 60.0);

    // From the reset that starts the update to the erase, which follows the files.
    auto& s = rig.listener.statuses;
    EXPECT_EQ (s.front(), EngineStatus::idle);
    EXPECT_EQ (s.back(), EngineStatus::erasingFirmware);
}

TEST (Backup, TheFolderIsNamedByTheModelAndTheLocalTime)
{
    EXPECT_EQ (BackupFolder::folderName (juce::Time (2027, 0, 1, 23, 59, 5, 0, true)), "1 Jan 2027 115905pm");
    EXPECT_EQ (BackupFolder::folderName (juce::Time (2027, 0, 1, 0, 0, 9, 0, true)), "1 Jan 2027 120009am");
    EXPECT_EQ (BackupFolder::folderName (juce::Time (2026, 11, 7, 3, 6, 20, 0, true)), "7 Dec 2026 30620am");

    // Two backups in the same second, as two updates an hour apart make in the hour
    // that repeats when daylight saving time ends, never share a folder.
    const juce::TemporaryFile userData;
    const juce::Time evening (2027, 0, 1, 23, 59, 5, 0, true);
    const auto models = userData.getFile().getChildFile ("Ivra Professional/MORELTA25");
    EXPECT_EQ (BackupFolder::createNew (userData.getFile(), HardwareModel::morelta25, evening), models.getChildFile ("1 Jan 2027 115905pm"));
    EXPECT_EQ (BackupFolder::createNew (userData.getFile(), HardwareModel::morelta25, evening), models.getChildFile ("1 Jan 2027 115905pm (2)"));
    EXPECT_EQ (BackupFolder::createNew (userData.getFile(), HardwareModel::morelta25, evening), models.getChildFile ("1 Jan 2027 115905pm (3)"));
    EXPECT_TRUE (models.getChildFile ("1 Jan 2027 115905pm (3)").isDirectory());

    EXPECT_EQ (BackupFolder::createNew (userData.getFile(), HardwareModel::unknown, juce::Time (2027, 0, 1, 0, 0, 9, 0, true)),
               userData.getFile().getChildFile ("Ivra Professional/1 Jan 2027 120009am"));

    // Where no folder can be made, there is none.
    ASSERT_TRUE (userData.getFile().getChildFile ("Ivra Professional/MORELTA61").replaceWithText ("not a folder"));
    EXPECT_EQ (BackupFolder::createNew (userData.getFile(), HardwareModel::morelta61, evening), juce::File());
    userData.getFile().deleteRecursively();
}

TEST (Backup, GlobalRepliesRepeatedOrOutOfOrderAreNeverTaken)
{
    // A keyboard of our own making: it answers the 14 requests backwards, each twice,
    // with a reply for another model in between. Read three times, it never answers as
    // asked, and nothing but the requests goes to it.
    const auto ports = VirtualMidiPortSystem::Ptr (new VirtualMidiPortSystem());
    const auto input = ports->addInputPort ("MIDIIN3 (MORELTA49)");
    std::vector<int> asked;
    ports->addOutputPort ("MORELTA49", [&] (const juce::MidiMessage& m)
                          {
                              if (m.getRawDataSize() != 10 || m.getRawData()[5] != 0x02)
                                  return;

                              asked.push_back (m.getRawData()[8]);

                              if (asked.size() % 14 != 0)
                                  return;

                              for (auto it = asked.rbegin(); it != asked.rbegin() + 14; ++it)
                              {
                                  for (juce::uint8 code : { 0x2E, 0x30, 0x2E })
                                  {
                                      const Bytes reply { 0xF0, 0x47, 0x00, code, 0x04, 0x02, 0x00, 0x05, (juce::uint8) *it, 1, 2, 3, (juce::uint8) *it, 0xF7 };
                                      ports->sendFromDevice (input, juce::MidiMessage (reply.data(), (int) reply.size()));
                                  }
                              } });

    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    const juce::TemporaryFile userData;
    engine->setUserDataFolder (userData.getFile());
    manager->openMidiInput ("MIDIIN3 (MORELTA49)");
    manager->openMidiOutput ("MORELTA49");
    engine->getState().port1Name = "MORELTA49";
    engine->getState().model = HardwareModel::morelta49;
    engine->getState().version = 1.16;

    UpdateListener listener;
    engine->addListener (&listener);
    ASSERT_TRUE (engine->beginUpdate());
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! listener.errors.empty(); }));

    EXPECT_EQ (listener.errors, std::vector<int> { EngineError::globalsTimeout });
    EXPECT_EQ (asked.size(), 3u * 14u);
    EXPECT_FALSE (listener.heard (EngineStatus::backingUpPresets));
    engine = nullptr;
    userData.getFile().deleteRecursively();
}

TEST (Backup, EachPartIsReadUntilItComesWholeAndEachTimeOutRunsFromTheLastMessage)
{
    struct Case
    {
        std::vector<const char*> faults;
        int error;     // -1: the backup completes, holding the keyboard's own data
        int atLeastMs; // the quiet before the error, or how long a backup that completes took
    };

    // Global requests are counted over the whole run: a global reply spoilt in every read
    // needs a fault in each read's 14.
    const Case cases[] = {
        { { "silent@global:0" }, EngineError::globalsTimeout, 2000 },
        { { "silent@global:5" }, EngineError::globalsTimeout, 2000 },
        { { "silent@preset:0:0" }, EngineError::presetTimeout, 5000 },
        { { "silent@preset:3:10" }, EngineError::presetTimeout, 2000 }, // silence after the first Preset Data
        // Pauses of most of a reply's time-out, several in one step: the step outlasts its
        // time-outs (both the first reply's and each next one's) and still completes, or
        // times out only a whole period after its last message.
        { { "pause=1200@global:4", "pause=1200@global:10" }, -1, 2400 },
        { { "pause=1200@preset:1:50", "pause=1200@preset:1:100", "pause=1200@preset:1:150", "pause=1200@preset:1:200", "pause=1200@preset:1:250" }, -1, 2400 },
        { { "pause=1200@global:4", "silent@global:9" }, EngineError::globalsTimeout, 2000 },
        { { "pause=1200@preset:1:50", "pause=1200@preset:1:100", "pause=1200@preset:1:150", "pause=1200@preset:1:200", "silent@preset:1:250" }, EngineError::presetTimeout, 2000 },
        // A reply lost, doubled or spoilt once: the part is read again until two reads agree.
        { { "drop@global:0" }, -1, 0 },
        { { "double@global:6" }, -1, 0 },
        { { "malformed=wrong-model@global:13" }, -1, 0 },
        { { "drop@preset:4:383" }, -1, 0 },
        { { "double@preset:2:100" }, -1, 0 },
        { { "double@preset:2:383" }, -1, 0 }, // only the quiet time after the last shows it
        // Spoilt in every read: the run ends with nothing but requests sent.
        { { "double@preset:3:100,repeat" }, EngineError::presetTimeout, ReplyCollector::quietMs },
        { { "malformed=duplicate@global:13", "malformed=duplicate@global:27", "malformed=duplicate@global:41" }, EngineError::globalsTimeout, ReplyCollector::quietMs },
        { { "malformed=foreign@preset:5:0" }, EngineError::presetTimeout, ReplyCollector::quietMs },
    };

    // All at once, so that the test takes as long as the longest case.
    std::vector<std::unique_ptr<Rig>> rigs;

    for (auto& c : cases)
    {
        auto settings = keyboardSettings (49);

        for (auto* f : c.faults)
            settings.faults.push_back (*KeyboardFault::parse (f));

        rigs.push_back (std::make_unique<Rig> (settings));
    }

    const auto started = juce::Time::getMillisecondCounter();
    std::vector<juce::uint32> backupTookMs (rigs.size(), 0);
    std::vector<SimulatedKeyboard::UserData> heldBefore;

    for (auto& r : rigs)
    {
        heldBefore.push_back (r->keyboard->getUserData());
        r->startUpdate();
    }

    ASSERT_TRUE (test::pumpUntil ([&]
                                  {
                                      bool all = true;

                                      for (size_t i = 0; i < rigs.size(); ++i)
                                      {
                                          auto& l = rigs[i]->listener;

                                          if (backupTookMs[i] == 0 && l.heard (EngineStatus::erasingFirmware))
                                              backupTookMs[i] = juce::Time::getMillisecondCounter() - started;

                                          all = all && (backupTookMs[i] > 0 || ! l.errors.empty());
                                      }

                                      return all; },
                                  test::updateTimeoutMs));

    for (size_t i = 0; i < rigs.size(); ++i)
    {
        auto& c = cases[i];
        auto& rig = *rigs[i];
        SCOPED_TRACE (juce::StringArray (c.faults.data(), (int) c.faults.size()).joinIntoString (", "));

        if (c.error < 0)
        {
            EXPECT_TRUE (rig.listener.errors.empty());
            EXPECT_GT (backupTookMs[i], (juce::uint32) c.atLeastMs);

            // The update goes on, and ends, while the others finish their backups.
            const auto expected = UpdateResultCheck::backupFilesOf (heldBefore[i], 0x2E);
            const juce::File folder (rig.engine->getLastBackupFolder());
            EXPECT_EQ (fileBytes (folder.getChildFile ("Globals.syx")), expected[0]);

            for (int p = 0; p < 32; ++p)
                EXPECT_EQ (fileBytes (folder.getChildFile ("Preset_" + juce::String (p) + ".syx")), expected[(size_t) p + 1]) << p;

            continue;
        }

        EXPECT_EQ (rig.listener.errors, std::vector<int> { c.error });
        EXPECT_EQ (rig.engine->getState().status, EngineStatus::idle);
        EXPECT_FALSE (rig.listener.heard (EngineStatus::erasingFirmware));

        // A millisecond's slack for the clock the time-out counts in.
        EXPECT_GE (rig.quietBeforeErrorUs, (juce::int64) c.atLeastMs * 1000 - 1000);
    }

    // The last progress before the silence in preset 3: (3 x 385 + 11) / 12320.
    auto& progress = rigs[3]->listener.progress;
    EXPECT_NE (std::find (progress.begin(), progress.end(), (3 * 385 + 11) / 12320.0), progress.end());

    // What could not be read is named.
    EXPECT_EQ (rigs[14]->engine->getErrorDetail(), "Preset 4 could not be read whole from the keyboard.");
    EXPECT_EQ (rigs[15]->engine->getErrorDetail(), "The keyboard's global settings could not be read whole.");
}

TEST (Backup, AfterAReadWentWrongOnlyTwoWholeReadsThatAgreeAreTaken)
{
    // Each read: 'x' spoilt, or whole with the content 'a' or 'b'; then what comes of the
    // last one.
    using Next = AgreeingReads::Next;
    const std::pair<const char*, Next> cases[] = {
        { "a", Next::take },
        { "x", Next::readAgain },
        { "xa", Next::readAgain },
        { "xaa", Next::take },
        { "xab", Next::giveUp },
        { "xxa", Next::giveUp },
        { "xxx", Next::giveUp },
        { "xax", Next::giveUp },
    };

    for (auto& [reads, end] : cases)
    {
        AgreeingReads judge;
        Next next = Next::readAgain;

        for (auto* r = reads; *r != 0; ++r)
            next = *r == 'x' ? judge.spoilt() : judge.whole ({ { (juce::uint8) *r } });

        EXPECT_EQ (next, end) << reads;
    }
}

TEST (Backup, AnUnknownModelGetsNoRequestAndEndsAsUnavailable)
{
    Rig rig (keyboardSettings (49));
    rig.engine->getState().model = HardwareModel::unknown;
    rig.engine->getState().port1Name = "Morelta49 USB Port 1";
    rig.startUpdate();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! rig.listener.errors.empty(); }));
    EXPECT_EQ (rig.listener.errors, std::vector<int> { EngineError::deviceUnavailable });
    EXPECT_EQ (rig.sentToKeyboard.load(), 0);
    EXPECT_FALSE (rig.engine->isBusy());
}

TEST (Backup, NoPortMeansNoBackup)
{
    Rig rig (keyboardSettings (49));
    rig.keyboard->unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.manager->getNumOpenOutputs() == 0 && rig.manager->getNumOpenInputs() == 0; }));

    // As if the ports had gone just after the update started.
    rig.engine->getState().version = 1.16;
    rig.startUpdate();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! rig.listener.errors.empty(); }));
    EXPECT_EQ (rig.listener.errors, std::vector<int> { EngineError::deviceUnavailable });

    // The step that could not start is gone: a Global Reply that nobody asked for starts
    // nothing. A note after it shows when the reply has been heard.
    struct NoteListener final : public MidiManager::Listener
    {
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& m) override { noteHeard = noteHeard || m.isNoteOn(); }
        std::atomic<bool> noteHeard { false };
    } listener;

    rig.manager->addListener (&listener);
    const auto input = rig.ports->addInputPort ("another keyboard");
    rig.manager->openMidiInput ("another keyboard");
    const Bytes reply { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x05, 0x12, 1, 2, 3, 4, 0xF7 };
    rig.ports->sendFromDevice (input, juce::MidiMessage (reply.data(), (int) reply.size()));
    rig.ports->sendFromDevice (input, juce::MidiMessage::noteOn (1, 60, 0.5f));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return listener.noteHeard.load(); }));
    EXPECT_FALSE (rig.engine->isBusy());
    rig.manager->removeListener (&listener);
}

TEST (Backup, ABackupThatCannotBeWrittenOrDoesNotReadBackStopsTheUpdateBeforeTheKeyboardIsTouched)
{
    // Where a folder must go, a file stands; a backup file that takes no bytes; and one
    // that holds something already, as a folder another updater shared once did.
    Rig blocked (keyboardSettings (49)), full (keyboardSettings (25)), altered (keyboardSettings (61));
    ASSERT_TRUE (blocked.userData.getFile().createDirectory());
    ASSERT_TRUE (blocked.userData.getFile().getChildFile ("Ivra Professional").replaceWithText ("not a folder"));

    for (auto* rig : { &blocked, &full, &altered })
        rig->startUpdate();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return full.engine->getBackupFolder().isNotEmpty() && altered.engine->getBackupFolder().isNotEmpty(); }));
    const auto folder = full.backupFolder(); // the engine forgets it when it stops
#if JUCE_WINDOWS
    // Windows has no full device: a folder in the file's place cannot be written either.
    ASSERT_TRUE (folder.getChildFile ("Preset_5.syx").createDirectory());
#else
    ASSERT_TRUE (juce::File ("/dev/full").createSymbolicLink (folder.getChildFile ("Preset_5.syx"), true));
#endif
    ASSERT_TRUE (altered.backupFolder().getChildFile ("Preset_9.syx").replaceWithData ("\xF0\x47\xF7", 3));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! blocked.listener.errors.empty() && ! full.listener.errors.empty() && ! altered.listener.errors.empty(); },
                                  test::updateTimeoutMs));

    for (auto* rig : { &blocked, &full, &altered })
    {
        EXPECT_EQ (rig->listener.errors, std::vector<int> { EngineError::backupDataError });
        EXPECT_FALSE (rig->listener.heard (EngineStatus::erasingFirmware));
        EXPECT_FALSE (rig->keyboard->getLog().contains ("update mode"));
        EXPECT_FALSE (rig->engine->isBusy());
    }

    // The files before the failing one were written whole.
    EXPECT_EQ (folder.getChildFile ("Globals.syx").getSize(), 196);
    EXPECT_EQ (folder.getChildFile ("Preset_4.syx").getSize(), 6167);
}

//==============================================================================
TEST (Restore, PutsBackEveryGlobalAndPresetOrTheAdaptedThirtyForOldFirmware)
{
    // Whole updates, side by side: each preset restore takes over half a minute. The old
    // one is in its update mode under other names, which the firmware must follow.
    auto renamedInUpdateMode = keyboardSettings (61, 1.15);
    renamedInUpdateMode.updateModeLayout = SimulatedKeyboard::Layout::newStyleNames;
    Rig current (keyboardSettings (49, 1.16)), old (renamedInUpdateMode);

    for (auto* rig : { &current, &old })
        rig->startUpdate();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return current.listener.heard (EngineStatus::completed) && old.listener.heard (EngineStatus::completed); },
                                  test::updateTimeoutMs));
    // The return to idle follows the completion by a step message of its own.
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return current.listener.statuses.back() == EngineStatus::idle && old.listener.statuses.back() == EngineStatus::idle; }));

    EXPECT_EQ (current.keyboard->checkRestore(), "");
    EXPECT_EQ (old.keyboard->checkRestore(), "");
    // And the requests that read it all back: 14 globals, and each preset put back.
    EXPECT_EQ (current.sentToKeyboard.load(), 14 + 12352 + 14 + 2 * 32);
    EXPECT_EQ (old.sentToKeyboard.load(), 14 + 11580 + 14 + 2 * 30);

    for (auto* rig : { &current, &old })
    {
        using S = std::vector<int>;
        auto& l = rig->listener;
        auto statuses = l.statuses;
        statuses.erase (std::unique (statuses.begin(), statuses.end()), statuses.end());
        EXPECT_EQ (statuses, (S { 0, 1, 2, 4, 5, 6, 7, 8, 9, 11, 10, 0 }));
        EXPECT_TRUE (l.errors.empty());

        // One progress over both images: the assets image takes over exactly where the
        // app image's share ends, and ends at 1.
        EXPECT_EQ (l.checkProgress(), "");
        EXPECT_EQ (l.progressOf (EngineStatus::sendingApp, false), 1591.0 / 9502.0);
        EXPECT_EQ (l.progressOf (EngineStatus::sendingAssets, true), 1591.0 / 9502.0);
        EXPECT_EQ (l.progressOf (EngineStatus::sendingAssets, false), 1.0);
    }

    // No pause was cut short, by the keyboard's own clock.
    const auto currentPauses = test::checkPauses (current.closeTrace()), oldPauses = test::checkPauses (old.closeTrace());

    for (auto& [pauses, presetMessages] : { std::pair (currentPauses, 12352), std::pair (oldPauses, 11580) })
    {
        EXPECT_EQ (pauses.problem, "");
        EXPECT_EQ (pauses.globalRequests, 14);
        EXPECT_EQ (pauses.blocks, 9502);
        EXPECT_EQ (pauses.restoredGlobals, 14);
        EXPECT_EQ (pauses.restoredPresetMessages, presetMessages);
    }
}

TEST (Restore, WhatTheKeyboardDidNotKeepIsSentAgainUntilItHoldsItAll)
{
    // Backups of other data put back, side by side; restore:N counts the messages put back.
    struct Case
    {
        const char* fault;
        int error;          // -1: completes with the keyboard holding the whole backup
        const char* detail; // what the error names
    };

    const Case cases[] = {
        { "", -1, "" },
        { "drop@restore:5", -1, "" },       // a global setting lost on the way
        { "drop@restore:500", -1, "" },     // a Preset Data message lost: the preset is not written
        { "corrupt@restore:3000", -1, "" }, // stored with a byte changed, once
        { "corrupt@restore:500,repeat", EngineError::restoreIncomplete, "Not put back: preset 2." },
        { "corrupt@restore:3,repeat", EngineError::restoreIncomplete, "Not put back: the global settings." },
    };

    std::vector<std::unique_ptr<Rig>> rigs;
    std::vector<juce::File> folders;

    for (auto& c : cases)
    {
        rigs.push_back (std::make_unique<Rig> (keyboardSettings (49, 1.16, { c.fault })));
        folders.push_back (rigs.back()->userData.getFile().getChildFile ("backup"));
        ASSERT_TRUE (UpdateResultCheck::writeBackupFolder (folders.back(), SimulatedKeyboard::makeUserData (77), 0x2E, 1.16));
        juce::String problem;
        const auto backup = BackupFolder::read (folders.back(), problem);
        ASSERT_TRUE (backup.has_value()) << problem;
        ASSERT_EQ (rigs.back()->engine->beginBackupRestore (*backup), "");
    }

    // Ended, and its end told: the error's notification follows the return to idle.
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (rigs.begin(), rigs.end(), [] (auto& r)
                                                        { return ! r->engine->isBusy() && (! r->listener.errors.empty() || r->listener.heard (EngineStatus::completed)); }); },
                                  test::updateTimeoutMs));

    for (size_t i = 0; i < rigs.size(); ++i)
    {
        auto& rig = *rigs[i];
        SCOPED_TRACE (cases[i].fault);

        if (cases[i].error < 0)
        {
            EXPECT_TRUE (rig.listener.errors.empty());
            EXPECT_TRUE (rig.keyboard->getUserData() == SimulatedKeyboard::makeUserData (77));
            continue;
        }

        EXPECT_EQ (rig.listener.errors, std::vector<int> { cases[i].error });
        EXPECT_EQ (rig.engine->getErrorDetail(), cases[i].detail);
    }
}

TEST (Restore, AnUnplugDuringTheRestoreEndsItAsUnavailableWithTheRestUnsent)
{
    Rig rig (keyboardSettings (49, 1.16, { "unplug@restore:100" }));
    rig.startUpdate();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! rig.listener.errors.empty(); },
                                  test::updateTimeoutMs));
    EXPECT_EQ (rig.listener.errors, std::vector<int> { EngineError::deviceUnavailable });
    EXPECT_TRUE (rig.listener.heard (EngineStatus::restoringPresets));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! rig.engine->isBusy(); }));

    // Nothing more goes out once the engine has stopped.
    const auto sent = rig.sentToKeyboard.load();
    test::pumpFor (100);
    EXPECT_EQ (rig.sentToKeyboard.load(), sent);
    EXPECT_LT (sent, 14 + 12352);
}

TEST (Restore, AMessageThePortRefusesOrAPresetMissingEndsItWithNothingMoreSent)
{
    // Backups of our own making, in memory: whole but for a refused send, or one
    // preset short. Side by side.
    struct Case
    {
        int presets;
        int refusedSends;
        int error;
    };

    const Case cases[] = { { 32, 1, EngineError::deviceUnavailable }, { 31, 0, EngineError::backupDataError } };
    std::vector<std::unique_ptr<Rig>> rigs;

    for (auto& c : cases)
    {
        auto& rig = *rigs.emplace_back (std::make_unique<Rig> (keyboardSettings (49)));
        BackupFolder backup;
        backup.model = HardwareModel::morelta49;
        backup.globals.assign (14, { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x05, 0x12, 1, 2, 3, 4, 0xF7 });
        backup.presets.resize ((size_t) c.presets, EngineState::Preset (386, EngineState::Message (16)));

        // Only the first: a restore that went on would be heard by the keyboard.
        rig.ports->setSendFailures (rig.keyboard->getModelName(), c.refusedSends);
        ASSERT_EQ (rig.engine->beginBackupRestore (backup), "");
    }

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (rigs.begin(), rigs.end(), [] (auto& r)
                                                        { return ! r->listener.errors.empty(); }); }));
    test::pumpFor (50);

    for (size_t i = 0; i < rigs.size(); ++i)
    {
        EXPECT_EQ (rigs[i]->listener.errors, std::vector<int> { cases[i].error });
        EXPECT_EQ (rigs[i]->sentToKeyboard.load(), 0);
        EXPECT_FALSE (rigs[i]->engine->isBusy());
    }
}

TEST (Restore, TheUsersDataGoesToTheKeyboardAloneWhateverElseIsOpen)
{
    // Another device's output open beside the keyboard's, as a port opened once and
    // opened again by the port manager when it came back.
    Rig rig (keyboardSettings (49));
    std::atomic<int> toOther { 0 };
    rig.ports->addOutputPort ("ANOTHER DEVICE", [&] (const juce::MidiMessage&)
                              { ++toOther; });
    rig.manager->openMidiOutput ("ANOTHER DEVICE");

    // A backup of the keyboard's own data, put back and checked.
    const auto folder = rig.userData.getFile().getChildFile ("backup");
    ASSERT_TRUE (UpdateResultCheck::writeBackupFolder (folder, rig.keyboard->getUserData(), 0x2E, 1.16));
    juce::String problem;
    const auto backup = BackupFolder::read (folder, problem);
    ASSERT_TRUE (backup.has_value()) << problem;
    ASSERT_EQ (rig.engine->beginBackupRestore (*backup), "");

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! rig.engine->isBusy() && (rig.listener.heard (EngineStatus::completed) || ! rig.listener.errors.empty()); },
                                  test::updateTimeoutMs));
    EXPECT_TRUE (rig.listener.errors.empty());
    EXPECT_TRUE (rig.listener.heard (EngineStatus::checkingRestore));
    EXPECT_EQ (toOther.load(), 0);
}

TEST (Restore, TheOldFirmwareAdaptationMovesPresetsSixToTwentyNineUpTwoPlaces)
{
    Rig rig (keyboardSettings (49, 1.15));
    auto& presets = rig.engine->getState().presets;

    for (int p = 0; p < 32; ++p)
        presets.push_back ({ { 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x01, 0x00, 0x05, 0x03, 0x40, 0x00, 0x00, (juce::uint8) p, 0xF7 } });

    RestorePlan::adaptForOldFirmware (presets);
    ASSERT_EQ (presets.size(), 30u);

    for (int p = 0; p < 30; ++p)
        EXPECT_EQ (presets[(size_t) p].front()[12], p < 6 ? p : p + 2) << p;
}

TEST (Restore, AKeyboardWhoseVersionIsUnknownIsTreatedAsOld)
{
    for (auto [version, adapted] : { std::pair (0.0, true), std::pair (1.15, true), std::pair (1.16, false), std::pair (1.25, false) })
        EXPECT_EQ (RestorePlan::needsAdaptation (version, FirmwareUpdate::embeddedVersion), adapted) << version;
}

//==============================================================================
namespace
{
/** A whole backup as the updater writes it, files first, then its manifest. */
juce::File writeWholeBackup (const juce::File& dir, juce::uint32 seed)
{
    dir.createDirectory();
    const auto files = UpdateResultCheck::backupFilesOf (SimulatedKeyboard::makeUserData (seed), 0x2E);

    for (size_t i = 0; i < files.size(); ++i)
        dir.getChildFile (i == 0 ? juce::String ("Globals.syx") : "Preset_" + juce::String ((int) i - 1) + ".syx").replaceWithData (files[i].data(), files[i].size());

    dir.getChildFile ("Manifest.json").replaceWithText (R"({"model": "MORELTA49", "firmwareVersion": "1.15", "time": "2026-12-01T10:00:00.000Z", "updaterVersion": "1.0.10"})");
    return dir;
}

/** The messages of a file's bytes, split after each F7. */
std::vector<Bytes> readBackOf (const Bytes& file)
{
    std::vector<Bytes> messages (1);

    for (auto b : file)
    {
        messages.back().push_back (b);

        if (b == 0xF7)
            messages.emplace_back();
    }

    messages.pop_back();
    return messages;
}

bool isRefusal (const juce::String& problem)
{
    return problem.startsWith ("This is not a backup of a MORELTA keyboard: ") || (problem.startsWith ("This backup is damaged: ") && problem.endsWith (". Nothing was sent to the keyboard."));
}

Bytes concatenated (const std::vector<EngineState::Message>& messages)
{
    Bytes all;

    for (auto& m : messages)
        all.insert (all.end(), m.begin(), m.end());

    return all;
}

/** Whether a message read back differs from the one written only where the user's own
    values sit (a global's four bytes, a Preset Data's five), which no check can tell.
*/
bool differsOnlyInValues (const Bytes& read, const Bytes& written, bool isGlobal)
{
    if (read.size() != written.size())
        return false;

    for (size_t i = 0; i < read.size(); ++i)
        if (read[i] != written[i] && ! (isGlobal ? (i >= 9 && i <= 12) : (read.size() == 16 && i >= 10 && i <= 14)))
            return false;

    return true;
}
} // namespace

TEST (BackupFolderReader, FilesThatAreNotOrdinaryFilesAreRefusedWithoutBeingRead)
{
    const juce::TemporaryFile root;
    int n = 0;
    auto backup = [&]
    { return writeWholeBackup (root.getFile().getChildFile (juce::String (n++)), 3); };

    struct Case
    {
        juce::String file, why;
        std::function<bool (const juce::File&)> make; // false where the platform cannot
    };

    auto replaceBy = [] (std::function<bool (const juce::File&)> make)
    {
        return [make] (const juce::File& f)
        { return f.deleteFile() && make (f); };
    };

    const Case cases[] = {
        { "Preset_4.syx", "Preset_4.syx is not a file", replaceBy ([] (const juce::File& f)
                                                                   { return f.createDirectory().wasOk(); }) },
        { "Manifest.json", "Manifest.json is not a file", replaceBy ([] (const juce::File& f)
                                                                     { return f.createDirectory().wasOk(); }) },
        { "Preset_9.syx", "Preset_9.syx is larger than such a file can be", [] (const juce::File& f)
          { return f.appendData ("\xF0\xF7", 2); } },
        { "Globals.syx", "Globals.syx is larger than such a file can be", [] (const juce::File& f)
          { return f.appendData ("\xF0\xF7", 2); } },
#if ! JUCE_WINDOWS
        // A link to a device that never ends: read whole, it takes all the memory there is.
        { "Preset_0.syx", "Preset_0.syx is not a file", replaceBy ([] (const juce::File& f)
                                                                   { return juce::File ("/dev/zero").createSymbolicLink (f, true); }) },
        { "Globals.syx", "Globals.syx is not a file", replaceBy ([] (const juce::File& f)
                                                                 { return juce::File ("/dev/zero").createSymbolicLink (f, true); }) },
        // A FIFO blocks the reader until somebody writes into it.
        { "Preset_31.syx", "Preset_31.syx is not a file", replaceBy ([] (const juce::File& f)
                                                                     { return mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; }) },
        { "Manifest.json", "Manifest.json is not a file", replaceBy ([] (const juce::File& f)
                                                                     { return mkfifo (f.getFullPathName().toRawUTF8(), 0600) == 0; }) },
        // A huge file (sparse: it takes no room on disk) is read no further than its bound.
        { "Preset_5.syx", "Preset_5.syx is larger than such a file can be", [] (const juce::File& f)
          { return truncate (f.getFullPathName().toRawUTF8(), (off_t) 1 << 34) == 0; } },
        // Unreadable (only where the permissions hold: not for root).
        { "Preset_2.syx", "Preset_2.syx cannot be read", [] (const juce::File& f)
          { return chmod (f.getFullPathName().toRawUTF8(), 0) == 0 && ! juce::FileInputStream (f).openedOk(); } },
#endif
    };

    for (auto& c : cases)
    {
        const auto dir = backup();
        juce::String problem = "unset";

        if (! c.make (dir.getChildFile (c.file)))
            continue;

        EXPECT_FALSE (BackupFolder::read (dir, problem).has_value()) << c.file;
        EXPECT_EQ (problem, "This backup is damaged: " + c.why + ". Nothing was sent to the keyboard.");
    }

    // A folder named like the settings' file is no backup at all.
    const auto dir = backup();
    dir.getChildFile ("Globals.syx").deleteFile();
    dir.getChildFile ("Globals.syx").createDirectory();
    juce::String problem;
    EXPECT_FALSE (BackupFolder::read (dir, problem).has_value());
    EXPECT_EQ (problem, "This is not a backup of a MORELTA keyboard: a backup is a folder that holds Globals.syx and the files Preset_0.syx to Preset_31.syx.");
}

TEST (BackupFolderReader, TheNewestBackupIsSoughtAmongTheNewestFoldersOnly)
{
#if JUCE_WINDOWS
    // JUCE opens a folder without FILE_FLAG_BACKUP_SEMANTICS, so it cannot date one here.
    GTEST_SKIP() << "JUCE cannot set a folder's time on Windows";
#endif

    const juce::TemporaryFile userData;
    const auto models = BackupFolder::modelFolder (userData.getFile(), HardwareModel::morelta49);
    const auto now = juce::Time::getCurrentTime();
    auto age = [&] (const juce::File& f, int minutes)
    { ASSERT_TRUE (f.setLastModificationTime (now - juce::RelativeTime::minutes (minutes))); };

    // Many folders that are no backups, older than the backup and newer than it.
    for (int i = 0; i < BackupFolder::maxFoldersSearched * 3; ++i)
    {
        const auto junk = models.getChildFile ("junk " + juce::String (i));
        ASSERT_TRUE (junk.createDirectory());
        age (junk, i < BackupFolder::maxFoldersSearched - 1 ? 10 + i : 1000 + i);
    }

    const auto backup = writeWholeBackup (models.getChildFile ("backup"), 5);
    age (backup, 500);
    const auto found = BackupFolder::findNewest (userData.getFile(), HardwareModel::morelta49);
    ASSERT_TRUE (found.has_value());
    EXPECT_EQ (found->folder, backup);

    // Behind a full search's worth of newer folders it is not looked for.
    age (models.getChildFile ("junk 0"), 20);
    age (backup, 100000);
    EXPECT_FALSE (BackupFolder::findNewest (userData.getFile(), HardwareModel::morelta49).has_value());
}

// Run under AddressSanitizer in CI: random damage to a real backup folder is either
// refused with a reason or read back as exactly the bytes on disk, and what is accepted
// differs from what was written only in the user's own values.
TEST (BackupFolderReader, RandomDamageIsRefusedWithAReasonOrReadBackExactly)
{
    const juce::TemporaryFile root;
    const auto original = UpdateResultCheck::backupFilesOf (SimulatedKeyboard::makeUserData (11), 0x2E);
    juce::Random random (20261209);
    const juce::StringArray manifestFields { "model", "firmwareVersion", "time", "updaterVersion" };
    const juce::StringArray junk { "", "MORELTA61", "MORELTA49", "1.16", "-1", "1.2.3", "1e9", "2026-13-40T99:00:00Z", "2027-01-01T00:00:00.000Z", "[]", "null" };
    int refused = 0, accepted = 0;

    for (int round = 0; round < 200; ++round)
    {
        const auto dir = writeWholeBackup (root.getFile().getChildFile (juce::String (round)), 11);
        auto fileName = [&] (int i)
        { return i == 0 ? juce::String ("Globals.syx") : (i == 33 ? juce::String ("Manifest.json") : "Preset_" + juce::String (i - 1) + ".syx"); };

        for (int damage = 1 + random.nextInt (2); --damage >= 0;)
        {
            const auto file = dir.getChildFile (fileName (random.nextInt (34)));
            juce::MemoryBlock bytes;
            file.loadFileAsData (bytes);

            switch (random.nextInt (6))
            {
                case 0: // a byte, as often a data byte as any
                    if (bytes.getSize() > 0)
                        bytes[(size_t) random.nextInt ((int) bytes.getSize())] = (char) random.nextInt (random.nextBool() ? 128 : 256);
                    file.replaceWithData (bytes.getData(), bytes.getSize());
                    break;
                case 1: // a length, shorter
                    file.replaceWithData (bytes.getData(), (size_t) random.nextInt ((int) bytes.getSize() + 1));
                    break;
                case 2: // a length, longer
                    for (int i = random.nextInt (100) + 1; --i >= 0;)
                    {
                        const auto b = (char) random.nextInt (256);
                        bytes.append (&b, 1);
                    }

                    file.replaceWithData (bytes.getData(), bytes.getSize());
                    break;
                case 3: // a name: two files swapped, or one gone
                {
                    const auto other = dir.getChildFile (fileName (random.nextInt (34)));
                    const auto spare = dir.getChildFile ("spare");
                    file.moveFileTo (spare);
                    other.moveFileTo (file);
                    spare.moveFileTo (other);
                    break;
                }
                case 4: // a manifest field
                {
                    auto json = juce::JSON::parse (dir.getChildFile ("Manifest.json").loadFileAsString());

                    if (auto* object = json.getDynamicObject())
                        object->setProperty (manifestFields[random.nextInt (manifestFields.size())], junk[random.nextInt (junk.size())]);

                    dir.getChildFile ("Manifest.json").replaceWithText (juce::JSON::toString (json));
                    break;
                }
                default: // a file gone
                    file.deleteFile();
                    break;
            }
        }

        juce::String problem;
        const auto backup = BackupFolder::read (dir, problem);

        if (! backup.has_value())
        {
            ++refused;
            ASSERT_TRUE (isRefusal (problem)) << round << ": " << problem;
            continue;
        }

        ++accepted;
        ASSERT_TRUE (problem.isEmpty()) << round;
        ASSERT_EQ (backup->model, HardwareModel::morelta49) << round;
        ASSERT_EQ (concatenated (backup->globals), fileBytes (dir.getChildFile ("Globals.syx"))) << round;
        ASSERT_EQ (backup->presets.size(), 32u) << round;

        const auto writtenGlobals = readBackOf (original[0]);
        ASSERT_EQ (backup->globals.size(), writtenGlobals.size()) << round;

        for (size_t i = 0; i < writtenGlobals.size(); ++i)
            ASSERT_TRUE (std::any_of (writtenGlobals.begin(), writtenGlobals.end(), [&] (auto& w)
                                      { return differsOnlyInValues (backup->globals[i], w, true) && w[8] == backup->globals[i][8]; }))
                << round << ": global " << i;

        for (size_t p = 0; p < 32; ++p)
        {
            ASSERT_EQ (concatenated (backup->presets[p]), fileBytes (dir.getChildFile ("Preset_" + juce::String ((int) p) + ".syx"))) << round;
            const auto written = readBackOf (original[p + 1]);
            ASSERT_EQ (backup->presets[p].size(), written.size()) << round;

            for (size_t m = 0; m < written.size(); ++m)
                ASSERT_TRUE (differsOnlyInValues (backup->presets[p][m], written[m], false)) << round << ": preset " << p << " message " << m;
        }

        const auto manifestFile = dir.getChildFile ("Manifest.json");
        ASSERT_EQ (backup->manifest.has_value(), manifestFile.existsAsFile()) << round;

        if (backup->manifest.has_value())
        {
            const auto json = juce::JSON::parse (manifestFile.loadFileAsString());
            EXPECT_EQ (json["model"].toString(), "MORELTA49") << round;
            EXPECT_EQ (backup->manifest->firmwareVersion, json["firmwareVersion"].toString().getDoubleValue()) << round;
            EXPECT_EQ (backup->manifest->time, juce::Time::fromISO8601 (json["time"].toString())) << round;
        }
    }

    // Both outcomes happened often enough to mean something.
    EXPECT_GT (refused, 60);
    EXPECT_GT (accepted, 10) << refused;
}
