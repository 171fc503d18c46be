#include "KeyboardTestHelpers.h"
#include "engine/DetectDeviceInfo.h"

#include <gtest/gtest.h>

// Every way the keyboard can fail an update, each in an update of its own, all running
// side by side so that the matrix takes as long as its longest case.

namespace
{
enum class Outcome
{
    error,    // ends with this error, the engine idle and detection polling again
    waits,    // the engine keeps waiting for the keyboard, as the update must
    completes // the update ends well
};

struct Case
{
    const char* fault;
    bool emergency;
    Outcome outcome;
    int error = -1;
    bool plugBackAfterwards = false; // the user plugs the keyboard in again
    int tries = 0;                   // "Try again" pressed after so many failures at most
    int notice = WaitNotice::none;   // what a wait must say, for those that wait
    double firmware = 1.16;
};

// The waits' bounds, shortened so that the matrix sees each of them end. The silent
// restart's bound runs from the assets image's last block to the poll's news that the
// port went: under the sanitizers, with half the matrix side by side, that news can take
// more than a few seconds, and a shorter bound would take a restart for silence.
const RestartWaitWatch::Bounds shortWaits { 2000, 10000, 3000 };

// What the update matrix (morelta-matrix) does not meet: the keyboard's malformed and
// missing answers in the backup, its update mode lost or never left, the transfer cut at
// its edges, a try again that fails again, and the restore cut among the globals.
const Case cases[] = {
    // backing up the global settings
    { "unplug@global:3", false, Outcome::error, EngineError::globalsTimeout },
    { "silent@global:0", false, Outcome::error, EngineError::globalsTimeout },
    // a reply spoilt once: the global settings are read again, and the update goes on
    { "malformed=wrong-model@global:2", false, Outcome::completes },
    { "malformed=truncated@global:13", false, Outcome::completes },
    { "malformed=non-sysex@global:5", false, Outcome::completes },
    // backing up the presets
    { "silent@preset:0:0", false, Outcome::error, EngineError::presetTimeout },
    { "silent@preset:31:383", false, Outcome::error, EngineError::presetTimeout },
    { "malformed=wrong-length@preset:3:10", false, Outcome::error, EngineError::presetTimeout },
    { "malformed=foreign@preset:7:0", false, Outcome::error, EngineError::presetTimeout },
    // erasing: the keyboard never comes back in its update mode, or never leaves
    { "no-return@update-mode", false, Outcome::waits, -1, false, 0, WaitNotice::notBack },
    { "drop@update-mode", false, Outcome::waits, -1, false, 0, WaitNotice::notInUpdateMode },
    { "unplug@update-mode", false, Outcome::completes, -1, true },
    // the transfers, at the first and the last block of each image
    { "unplug@app-block:0", true, Outcome::error, EngineError::deviceUnavailable },
    { "unplug@app-block:1590", true, Outcome::error, EngineError::deviceUnavailable },
    { "unplug@assets-block:0", true, Outcome::error, EngineError::deviceUnavailable },
    { "unplug@assets-block:7910", true, Outcome::waits },
    // tried again, and failing again as it did
    { "drop@app-block:0,repeat", false, Outcome::error, EngineError::firmwareNotConfirmed, false, 1 },
    // the restore of the globals
    { "unplug@restore:5", false, Outcome::error, EngineError::deviceUnavailable },
};

class Recorder final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int s) override
    {
        status = s;
        completed = completed || s == EngineStatus::completed;
    }
    void progressChanged (double) override {}
    void errorOccurred (int e) override { errors.push_back (e); }
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}
    void waitNoticeChanged (int n) override { notices.push_back (n); }

    bool said (int notice) const { return std::find (notices.begin(), notices.end(), notice) != notices.end(); }

    int status = EngineStatus::idle;
    bool completed = false;
    std::vector<int> errors, notices;
};

struct FaultyUpdate
{
    explicit FaultyUpdate (const Case& c)
        : what (c)
    {
        SimulatedKeyboard::Settings settings;
        settings.faults = { *KeyboardFault::parse (c.fault) };
        settings.startsInUpdateMode = c.emergency;
        settings.firmwareVersion = c.firmware;

        // Some thirty updates side by side load the machine: restarts long enough that
        // the port poll sees each of them even then.
        settings.timing.updateModeEntryMs = settings.timing.rebootMs = 1500;
        engine->setUserDataFolder (userData.getFile());
        engine->setWaitBounds (shortWaits);
        engine->setEmergencyMode (c.emergency);
        engine->addListener (&recorder);
        keyboard = std::make_unique<SimulatedKeyboard> (ports, settings);
    }

    ~FaultyUpdate()
    {
        engine = nullptr;
        keyboard.reset();
        userData.getFile().deleteRecursively();
    }

    bool ready() const { return manager->getNumOpenOutputs() == 1 && (what.emergency || engine->getState().version > 0.0); }
    bool ended() const { return (int) recorder.errors.size() > what.tries || (recorder.completed && ! engine->isBusy()); }
    bool waitsAsItMust() const { return what.outcome == Outcome::waits && (what.notice == WaitNotice::none || recorder.said (what.notice)); }

    void poll()
    {
        if (backupFolder.isEmpty())
            backupFolder = engine->getBackupFolder();

        // As the user: "Try again" in the alert after each failure, up to so many times.
        if ((int) recorder.errors.size() > triesMade && triesMade < what.tries && engine->canTryAgain() && engine->tryAgain() == ApplicationEngine::Refusal::none)
            ++triesMade;

        // The user plugs the keyboard back in once it has been gone a while.
        if (what.plugBackAfterwards && ! keyboard->isPlugged() && ++pollsUnplugged == 150)
            keyboard->plug();
    }

    const Case& what;
    const juce::TemporaryFile userData;
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    std::unique_ptr<SimulatedKeyboard> keyboard;
    Recorder recorder;
    juce::String backupFolder;
    int pollsUnplugged = 0, triesMade = 0;
};
/** Runs these cases side by side and checks how each ended. */
void runHalf (size_t first, size_t end);
} // namespace

TEST (FaultMatrix, EveryFailureEndsAsItMustAndLeavesTheBackupIntact)
{
    // Half the cases at a time: thirty updates side by side load two cores, under the
    // sanitizers, past the timing of the keyboard's restarts and of the check after them.
    const auto count = std::size (cases), half = (count + 1) / 2;

    for (size_t first = 0; first < count; first += half)
        runHalf (first, std::min (count, first + half));
}

namespace
{
void runHalf (size_t first, size_t end)
{
    std::vector<std::unique_ptr<FaultyUpdate>> runs;

    for (auto i = first; i < end; ++i)
        runs.push_back (std::make_unique<FaultyUpdate> (cases[i]));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (runs.begin(), runs.end(), [] (auto& r)
                                                        { return r->ready(); }); },
                                  test::stepTimeoutMs));

    for (auto& r : runs)
        r->engine->beginUpdate();

    // Those that wait are seen waiting once all the others have ended.
    EXPECT_TRUE (test::pumpUntil ([&]
                                  {
                                      for (auto& r : runs)
                                          r->poll();

                                      return std::all_of (runs.begin(), runs.end(), [] (auto& r) { return r->waitsAsItMust() || r->ended(); }); },
                                  test::updateTimeoutMs));

    for (auto& r : runs)
    {
        const auto& c = r->what;
        SCOPED_TRACE (juce::String (c.fault) + " (status " + juce::String (r->recorder.status) + ", keyboard: " + r->keyboard->getLog().joinIntoString (" | ").substring (0, 300) + ")");

        switch (c.outcome)
        {
            case Outcome::error:
                EXPECT_EQ (r->recorder.errors, std::vector<int> ((size_t) c.tries + 1, c.error));
                EXPECT_FALSE (r->engine->isBusy());
                EXPECT_NE (r->engine->getDetection(), nullptr);
                break;

            case Outcome::waits:
                EXPECT_EQ (r->recorder.errors, std::vector<int>());
                EXPECT_TRUE (r->engine->isBusy());
                EXPECT_TRUE (r->recorder.status == EngineStatus::erasingFirmware || r->recorder.status == EngineStatus::waitingForReboot) << r->recorder.status;

                if (c.notice != WaitNotice::none)
                {
                    EXPECT_TRUE (r->recorder.said (c.notice));
                }

                break;

            case Outcome::completes:
                EXPECT_EQ (r->recorder.errors.size(), (size_t) r->triesMade);
                EXPECT_TRUE (r->recorder.completed);
                EXPECT_EQ (r->keyboard->getFirmwareVersion(), 1.25);

                // Tried again, the keyboard holds its own data, by its own account, and
                // the update's log tells each try.
                if (c.tries > 0 && ! c.emergency)
                {
                    EXPECT_EQ (r->keyboard->checkRestore(), "");
                    const auto log = juce::File (r->backupFolder).getChildFile ("UpdateLog.txt").loadFileAsString();
                    EXPECT_TRUE (log.contains ("ended: error: ") && log.contains ("try 2: the firmware is sent again") && log.trim().endsWith ("Firmware after: 1.25")) << log;
                }

                break;
        }

        // A backup that was made is whole, whatever happened after.
        if (r->backupFolder.isNotEmpty() && juce::File (r->backupFolder).getChildFile ("Preset_31.syx").existsAsFile())
        {
            const juce::File folder (r->backupFolder);
            EXPECT_EQ (folder.getChildFile ("Globals.syx").getSize(), 196);

            for (int p = 0; p < 32; ++p)
                EXPECT_EQ (folder.getChildFile ("Preset_" + juce::String (p) + ".syx").getSize(), 6167) << p;
        }
    }
}
} // namespace
