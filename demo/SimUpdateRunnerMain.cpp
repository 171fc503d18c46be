// morelta-sim-update: runs one firmware update, as a user would, with the updater's own
// port manager and engine against a simulated keyboard on the virtual MIDI ports (or, in
// the Windows build with --ports winmm, through WinMM and our test driver to a keyboard in
// a process of its own), and checks the result on the keyboard's side. Exits 0 only when the update completed, the
// keyboard holds exactly the embedded images and the user data the restore must leave,
// and the backup files hold what the keyboard held. With --restore-backup it puts a
// backup folder back instead, and checks that the keyboard holds the folder's data.

#include "engine/ApplicationEngine.h"
#include "sim/KeyboardProcess.h"
#include "sim/MessageThreadStallMeter.h"
#include "sim/UpdateResultCheck.h"

#if JUCE_WINDOWS
#include "midi/WinMidiPortSystem.h"
#endif

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
const char* const usage = R"(usage: morelta-sim-update [options]
  --model 25|49|61          the keyboard's model (49)
  --layout class|private|new  how its ports are named: by the class driver, the private
                            driver, or in Windows' newer style (class)
  --update-mode-layout class|new  named otherwise in its update mode, as when the
                            system binds another driver to it there
  --firmware X.YY           its firmware version before the update (1.16)
  --emergency               an emergency update of a keyboard started in its update mode
  --profile fast|realistic  the keyboard's timing profile (fast)
  --link-rate BYTES_PER_S   how fast bytes cross the USB link (0: at once)
  --restart-ms MS           how long the keyboard's ports are away while it restarts
  --port-number N           listed as Windows lists the Nth identical device (1)
  --seed N                  the seed its user data is made from (1)
  --fault FAULT             a fault of the keyboard, e.g. unplug@preset:3:100 (repeatable)
  --data-dir DIR            the user data folder the backups go under (a new temporary one)
  --trace FILE              write the keyboard's traffic as JSON Lines
  --restore-backup DIR      put this backup folder back into the keyboard instead of updating it
  --try-again N             answer "Try again" to a failed update up to N times (0)
  --put-back N              answer "Put my settings back" to a restore cut short up to N
                            times (0)
  --wait-bounds E,S,R       milliseconds before a wait explains itself: for the update mode,
                            the silent restart, the port's return (15000,30000,60000)
  --timeout SECONDS         give up after this long (1800)
  --expect-error ERROR      succeed only if the update ends with this error, e.g.
                            deviceUnavailable (and exit non-zero if it completes)
  --expect-wait NOTICE      succeed only if the update waits for the keyboard until
                            its wait says so (notInUpdateMode or notBack)
  --second-keyboard STATUS  plug in a second keyboard of the model, numbered after the
                            first, when the update enters this status (e.g. erasingFirmware);
                            nothing of the update may reach it
  --ports virtual|winmm     the virtual ports with the keyboard in this process (virtual),
                            or WinMM through our test driver with the keyboard in a
                            process of its own, morelta-sim-keyboard (winmm; Windows only)
  --driver-fault FAULT      with --ports winmm, a fault of the driver's side, e.g.
                            never-done@assets-block:100 (see morelta-sim-keyboard --help)
  --help                    this text
)";

#if JUCE_WINDOWS
constexpr bool winmmAvailable = true;
#else
constexpr bool winmmAvailable = false;
#endif

/** The value of this name, by a nameOf function; -1 for a name that is none. */
int valueNamed (const char* (*nameOf) (int), const juce::String& name)
{
    for (int v = 0; juce::String (nameOf (v)) != "unknown"; ++v)
        if (name == nameOf (v))
            return v;

    return -1;
}

int errorNamed (const juce::String& name)
{
    return valueNamed (EngineError::nameOf, name);
}

struct Options
{
    SimulatedKeyboard::Settings keyboard;
    bool emergency = false;
    juce::File dataDir, backupToRestore;
    int timeoutSeconds = 1800;
    int tryAgain = 0;
    int putBack = 0;
    RestartWaitWatch::Bounds waitBounds;
    juce::String expectedError;
    int expectedWait = -1, secondKeyboardAt = -1;
    bool winmm = false;
    juce::StringArray keyboardArgs; // the keyboard's own options, for its process
};

std::optional<Options> parse (const juce::StringArray& args, juce::String& problem)
{
    Options o;
    int linkRate = -1, restartMs = -1;

    for (int i = 0; i < args.size(); ++i)
    {
        const auto flagIndex = i;
        const auto a = args[i];
        const auto value = args[i + 1];
        auto takesValue = [&]
        { ++i; return value.isNotEmpty(); };

        auto forKeyboard = [&]
        { o.keyboardArgs.addArray (args, flagIndex, i - flagIndex + 1); };

        if (a == "--emergency")
            o.emergency = true;
        else if (SimulatedKeyboard::Settings::isOption (a) && takesValue() && o.keyboard.applyOption (a, value))
            forKeyboard();
        else if (a == "--link-rate" && takesValue() && value.containsOnly ("0123456789"))
            linkRate = value.getIntValue(), forKeyboard();
        else if (a == "--restart-ms" && takesValue() && value.containsOnly ("0123456789"))
            restartMs = value.getIntValue();
        else if (a == "--fault" && takesValue() && KeyboardFault::parse (value).has_value())
            o.keyboard.faults.push_back (*KeyboardFault::parse (value)), forKeyboard();
        else if (a == "--driver-fault" && takesValue())
            forKeyboard();
        else if (a == "--ports" && takesValue() && (value == "virtual" || (value == "winmm" && winmmAvailable)))
            o.winmm = value == "winmm";
        else if (a == "--expect-error" && takesValue() && errorNamed (value) >= 0)
            o.expectedError = value;
        else if (a == "--expect-wait" && takesValue() && valueNamed (WaitNotice::nameOf, value) > 0)
            o.expectedWait = valueNamed (WaitNotice::nameOf, value);
        else if (a == "--second-keyboard" && takesValue() && valueNamed (EngineStatus::nameOf, value) > 0)
            o.secondKeyboardAt = valueNamed (EngineStatus::nameOf, value);
        else if (a == "--data-dir" && takesValue())
            o.dataDir = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        else if (a == "--restore-backup" && takesValue())
            o.backupToRestore = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        else if (a == "--trace" && takesValue())
            o.keyboard.traceFile = juce::File::getCurrentWorkingDirectory().getChildFile (value), forKeyboard();
        else if (a == "--timeout" && takesValue() && value.containsOnly ("0123456789"))
            o.timeoutSeconds = value.getIntValue();
        else if (a == "--try-again" && takesValue() && value.containsOnly ("0123456789"))
            o.tryAgain = value.getIntValue();
        else if (a == "--put-back" && takesValue() && value.containsOnly ("0123456789"))
            o.putBack = value.getIntValue();
        else if (a == "--wait-bounds" && takesValue() && value.containsOnly ("0123456789,")
                 && juce::StringArray::fromTokens (value, ",", {}).size() == 3)
        {
            const auto bounds = juce::StringArray::fromTokens (value, ",", {});
            o.waitBounds = { bounds[0].getIntValue(), bounds[1].getIntValue(), bounds[2].getIntValue() };
        }
        else
        {
            problem = "cannot use '" + args.joinIntoString (" ", flagIndex, i - flagIndex + 1) + "'";
            return {};
        }
    }

    if (linkRate >= 0)
        o.keyboard.timing.linkBytesPerSecond = linkRate;

    if (restartMs >= 0)
        o.keyboard.timing.updateModeEntryMs = o.keyboard.timing.rebootMs = restartMs;

    if (o.winmm && o.backupToRestore != juce::File())
    {
        problem = "--restore-backup puts a backup into a keyboard in this process: it takes the virtual ports";
        return {};
    }

    if (! o.winmm && o.keyboardArgs.contains ("--driver-fault"))
    {
        problem = "--driver-fault needs --ports winmm";
        return {};
    }

    if (o.winmm && (o.secondKeyboardAt >= 0 || o.expectedWait >= 0))
    {
        problem = "--second-keyboard and --expect-wait take the virtual ports";
        return {};
    }

    o.keyboard.startsInUpdateMode = o.emergency;

    if (o.emergency)
        o.keyboardArgs.add ("--emergency");

    return o;
}

/** Prints each status change with the time and progress. */
class Reporter final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int s) override
    {
        if (s == status)
            return;

        status = s;
        std::cout << juce::String (seconds(), 3) << " s  " << EngineStatus::nameOf (s) << "  " << juce::String (progress * 100.0, 1) << " %" << std::endl;
        completed = completed || s == EngineStatus::completed;
    }

    void progressChanged (double p) override { progress = p; }

    void errorOccurred (int e) override
    {
        error = e;
        statusAtError = status;
        std::cout << juce::String (seconds(), 3) << " s  error: " << EngineError::nameOf (e) << std::endl;
    }

    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    void waitNoticeChanged (int n) override
    {
        notice = n;

        if (n != WaitNotice::none)
            std::cout << juce::String (seconds(), 3) << " s  waiting too long: " << WaitNotice::nameOf (n) << std::endl;
    }

    double seconds() const { return (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0; }

    const double start = juce::Time::getMillisecondCounterHiRes();
    int status = -1, error = -1, statusAtError = -1, notice = WaitNotice::none;
    double progress = 0.0;
    bool completed = false;
};

bool runUntil (const std::function<bool()>& condition, double timeoutSeconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + timeoutSeconds * 1000.0;

    while (! condition() && juce::Time::getMillisecondCounterHiRes() < end)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    return condition();
}

/** What crossed the virtual ports, by the ports' own account: the keyboard's answers on
    listed ports, user data sent back after firmware went out, and anything but an
    Identity Request that reached the second keyboard.
*/
struct Census
{
    void observe (const VirtualMidiPortSystem::TrafficRecord& r)
    {
        if (! r.toDevice)
        {
            ++answersOnListedPorts;
            return;
        }

        const auto* b = r.message.getRawData();
        const auto size = r.message.getRawDataSize();
        const auto isIdentityRequest = size == 6 && b[1] == 0x7E;

        {
            const std::lock_guard<std::mutex> guard (mutex);

            if (secondKeyboardPorts.contains (r.portName))
            {
                toSecondKeyboard += isIdentityRequest ? 0 : 1;
                return;
            }
        }

        // A stream opens F0 47 00 2E 70; the user's data is the maker's Global Reply,
        // Preset Select, Preset Data and Preset End.
        const auto maker = size >= 8 && b[0] == 0xF0 && b[1] == 0x47 && b[2] == 0x00;
        firmwareSeen = firmwareSeen || (maker && b[4] == 0x70);

        if (firmwareSeen && maker && ((b[4] == 0x04 && b[5] == 0x02 && b[7] == 0x05) || (b[4] == 0x04 && (b[5] == 0x01 || b[5] == 0x07 || b[5] == 0x08))))
            ++userDataAfterFirmware;
    }

    std::mutex mutex;
    juce::StringArray secondKeyboardPorts;
    std::atomic<bool> firmwareSeen { false };
    std::atomic<int> answersOnListedPorts { 0 }, userDataAfterFirmware { 0 }, toSecondKeyboard { 0 };
};

/** What the keyboard must hold, and what must not have reached it, once an update ended
    with an error or in a wait; empty when all is as it must be.
*/
juce::String checkNothingForbidden (const SimulatedKeyboard& keyboard, const SimulatedKeyboard::UserData& before, const Census& census, const Reporter& reporter)
{
    const auto endedIn = reporter.error >= 0 ? reporter.statusAtError : reporter.status;

    // A restore cut short, or one whose check found the keyboard without all of it, leaves
    // part of the data it was putting back.
    if (endedIn == EngineStatus::restoringGlobals || endedIn == EngineStatus::restoringPresets || endedIn == EngineStatus::checkingRestore)
        return {};

    // Failed in the backup: the keyboard runs its own firmware, with its own data.
    if ((endedIn == EngineStatus::backingUpGlobals || endedIn == EngineStatus::backingUpPresets)
        && (census.firmwareSeen || keyboard.getLog().contains ("update mode") || keyboard.getUserData() != before))
        return "the keyboard was changed although the update failed in the backup";

    // Ended before the restore, the keyboard gets none of the user data back.
    if (census.userDataAfterFirmware > 0)
        return juce::String (census.userDataAfterFirmware.load()) + " messages of user data were sent to a keyboard that did not say it runs the new firmware";

    return {};
}

/** The backup folder, if written whole, holds what the keyboard held before. */
juce::String checkBackupIfWritten (const juce::File& folder, const SimulatedKeyboard& keyboard, const SimulatedKeyboard::UserData& before)
{
    if (folder == juce::File() || ! folder.getChildFile ("Manifest.json").existsAsFile())
        return {};

    return UpdateResultCheck::checkBackupFiles (folder, before, keyboard.getModelCode());
}

/** A second keyboard of the first's model, plugged in as Windows numbers the next one. */
std::unique_ptr<SimulatedKeyboard> plugSecondKeyboard (VirtualMidiPortSystem::Ptr ports, SimulatedPrivateDriver::Ptr privateDriver, SimulatedKeyboard::Settings settings, Census& census)
{
    settings.portNumber += 1;
    settings.seed += 100;
    settings.firmwareVersion = 1.16;
    settings.startsInUpdateMode = false;
    settings.faults.clear();
    settings.traceFile = juce::File();

    {
        const std::lock_guard<std::mutex> guard (census.mutex);
        census.secondKeyboardPorts.clear();
    }

    auto second = std::make_unique<SimulatedKeyboard> (ports, settings, privateDriver);
    const std::lock_guard<std::mutex> guard (census.mutex);
    census.secondKeyboardPorts.addArray (second->getOutputNames());
    return second;
}
} // namespace
int main (int argc, char** argv)
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    if (args.contains ("--help"))
    {
        std::cout << usage;
        return 0;
    }

    juce::String problem;
    auto options = parse (args, problem);

    if (! options.has_value())
    {
        std::cerr << "morelta-sim-update: " << problem << "\n"
                  << usage;
        return 2;
    }

    const juce::ScopedJuceInitialiser_GUI juceInitialiser;

    if (options->dataDir == juce::File())
        options->dataDir = juce::File::createTempFile ("morelta-sim-update");

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedPrivateDriver::Ptr privateDriver = new SimulatedPrivateDriver();
    MidiPortSystem::Ptr updaterPorts = ports;

    // Over WinMM the keyboard lives in a process of its own, and our test driver inside
    // this one carries the bytes to it: as the updater's reach a keyboard on Windows.
    std::unique_ptr<KeyboardProcess> keyboardProcess;

#if JUCE_WINDOWS
    if (options->winmm)
    {
        keyboardProcess = std::make_unique<KeyboardProcess> (options->keyboardArgs);

        if (! keyboardProcess->isRunning())
        {
            std::cout << "FAILED: the keyboard process did not start: " << keyboardProcess->getOutput() << std::endl;
            return 1;
        }

        keyboardProcess->exportLinkPort();
        updaterPorts = new WinMidiPortSystem();
    }
#endif

    MidiManager::Ptr manager = new MidiManager (updaterPorts, privateDriver);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    Reporter reporter;
    engine->addListener (&reporter);

    // On the private layout the keyboard's answers must come through the private driver
    // alone; nothing but an Identity Request may reach a second keyboard.
    auto census = std::make_shared<Census>();
    ports->setTrafficObserver ([census] (const VirtualMidiPortSystem::TrafficRecord& r)
                               { census->observe (r); });

    engine->setUserDataFolder (options->dataDir);
    engine->setWaitBounds (options->waitBounds);
    engine->setEmergencyMode (options->emergency);

    auto keyboard = keyboardProcess == nullptr ? std::make_unique<SimulatedKeyboard> (ports, options->keyboard, privateDriver) : nullptr;
    std::unique_ptr<SimulatedKeyboard> secondKeyboard;

    std::cout << "keyboard MORELTA" << options->keyboard.keys << (keyboardProcess != nullptr ? " in a process of its own, over WinMM" : "") << ", firmware " << juce::String (options->keyboard.firmwareVersion, 2)
              << (options->emergency ? ", in its update mode" : "") << "; backups under " << options->dataDir.getFullPathName() << std::endl;

    auto fail = [&] (const juce::String& why)
    {
        std::cout << "FAILED: " << why << std::endl;
        engine = nullptr;
        return 1;
    };

    // As the user would: wait until the window shows the keyboard, then press the button.
    // A keyboard in its update mode shows nothing there: it is pressed once the keyboard's
    // port is listed, open or not (another program may hold it). Generous: a keyboard in
    // another process, under Wine on a loaded machine, was once not found within 10 s.
    if (! runUntil ([&]
                    { return options->emergency ? engine->getState().port1Name.isNotEmpty()
                                                : manager->getNumOpenOutputs() > 0 && engine->getState().version > 0.0; },
                    30.0))
        return fail ("the updater did not find the keyboard");

    std::cout << juce::String (reporter.seconds(), 3) << " s  found " << engine->getState().port1Name << ", firmware "
              << juce::String (engine->getState().version, 2) << std::endl;

    const auto restoring = options->backupToRestore != juce::File();
    const auto dataBefore = keyboard != nullptr ? keyboard->getUserData() : SimulatedKeyboard::UserData {};
    juce::String backupFolder;
    const MessageThreadStallMeter stallMeter;

    if (restoring)
    {
        juce::String why;
        const auto backup = BackupFolder::read (options->backupToRestore, why);

        if (why.isEmpty())
            why = engine->beginBackupRestore (*backup);

        if (why.isNotEmpty())
            return fail (why);

        std::cout << "putting back the backup in " << options->backupToRestore.getFullPathName() << std::endl;
    }
    else if (! engine->beginUpdate())
    {
        return fail ("the updater refused to start the update");
    }

    // As the user would: "Try again" or "Put my settings back" in the alert, up to so many
    // times.
    auto triesLeft = options->tryAgain, putBacksLeft = options->putBack;

    const auto ended = runUntil ([&]
                                 {
                                     if (backupFolder.isEmpty())
                                         backupFolder = engine->getBackupFolder();

                                     if (options->secondKeyboardAt >= 0 && options->secondKeyboardAt == reporter.status && secondKeyboard == nullptr)
                                     {
                                         std::cout << juce::String (reporter.seconds(), 3) << " s  a second keyboard is plugged in" << std::endl;
                                         secondKeyboard = plugSecondKeyboard (ports, privateDriver, options->keyboard, *census);
                                     }

                                     if (reporter.error >= 0 && triesLeft > 0 && engine->canTryAgain())
                                     {
                                         --triesLeft;
                                         std::cout << juce::String (reporter.seconds(), 3) << " s  try again" << std::endl;

                                         if (engine->tryAgain() == ApplicationEngine::Refusal::none)
                                             reporter.error = -1;
                                     }

                                     // It starts once the keyboard is there: until then the update has not ended.
                                     if (reporter.error >= 0 && putBacksLeft > 0 && engine->canPutBack())
                                     {
                                         --putBacksLeft;
                                         std::cout << juce::String (reporter.seconds(), 3) << " s  put my settings back" << std::endl;
                                         engine->putBack();
                                         reporter.error = -1;
                                     }

                                     const auto waiting = options->expectedWait >= 0 && reporter.notice == options->expectedWait;
                                     return waiting || reporter.error >= 0 || (reporter.completed && ! engine->isBusy()); },
                                 options->timeoutSeconds);

    if (! ended)
        return fail ("the update did not end within " + juce::String (options->timeoutSeconds) + " s");

    std::cout << "the message thread's waits: " << MessageThreadStallMeter::describe (stallMeter.getFigures()) << std::endl;

    if (secondKeyboard != nullptr)
    {
        if (census->toSecondKeyboard > 0 || secondKeyboard->getLog().contains ("update mode") || secondKeyboard->getUserData() != SimulatedKeyboard::makeUserData (options->keyboard.seed + 100))
            return fail (juce::String (census->toSecondKeyboard.load()) + " messages of the update reached the second keyboard");

        std::cout << "the second keyboard got nothing but Identity Requests" << std::endl;
    }

    if (keyboard != nullptr)
        if (const auto wrong = checkBackupIfWritten (juce::File (backupFolder), *keyboard, dataBefore); wrong.isNotEmpty())
            return fail ("the backup does not hold what the keyboard held: " + wrong);

    if (reporter.error >= 0 && engine->getErrorDetail().isNotEmpty())
        std::cout << "  " << engine->getErrorDetail() << std::endl;

    if (options->expectedWait >= 0 || options->expectedError.isNotEmpty())
    {
        const auto waited = options->expectedWait >= 0 && reporter.error < 0 && engine->isBusy();
        const auto expected = waited || (options->expectedError.isNotEmpty() && reporter.error == errorNamed (options->expectedError));
        const auto end = reporter.error >= 0 ? juce::String ("with ") + EngineError::nameOf (reporter.error) : (engine->isBusy() ? "waiting" : "completed");

        if (! expected)
            return fail ("the update ended " + end + ", not as expected");

        if (keyboard != nullptr)
            if (const auto wrong = checkNothingForbidden (*keyboard, dataBefore, *census, reporter); wrong.isNotEmpty())
                return fail (wrong);

        std::cout << "ended as expected, " << end << ", after " << juce::String (reporter.seconds(), 1) << " s" << std::endl;
        engine = nullptr;
        return 0;
    }

    if (reporter.error >= 0)
        return fail (juce::String ("the updater reported ") + EngineError::nameOf (reporter.error));

    if (keyboardProcess != nullptr)
    {
        if (const auto wrong = keyboardProcess->check (options->emergency, juce::File (backupFolder)); wrong.isNotEmpty())
            return fail (wrong);

        std::cout << "completed in " << juce::String (reporter.seconds(), 1) << " s over WinMM: the keyboard process found firmware 1.25 with both images as embedded"
                  << (options->emergency ? "" : ", its user data restored, and the backup in " + backupFolder) << std::endl;
        engine = nullptr;
        return 0;
    }

    if (restoring)
    {
        if (const auto wrong = UpdateResultCheck::checkBackupRestored (*keyboard, options->backupToRestore, dataBefore); wrong.isNotEmpty())
            return fail (wrong);

        std::cout << "completed in " << juce::String (reporter.seconds(), 1) << " s: the keyboard holds the backup's settings and presets" << std::endl;
        engine = nullptr;
        return 0;
    }

    // What the keyboard holds now, by its own account.
    runUntil ([&]
              { return keyboard->getFirmwareVersion() == SimulatedKeyboard::newFirmwareVersion; },
              5.0);

    if (const auto wrong = UpdateResultCheck::check (*keyboard, options->emergency, backupFolder); wrong.isNotEmpty())
        return fail (wrong);

    if (options->keyboard.layout == SimulatedKeyboard::Layout::privateDriver)
    {
        if (census->answersOnListedPorts > 0)
            return fail (juce::String (census->answersOnListedPorts.load()) + " answers of the keyboard crossed a listed port");

        if (const auto errors = privateDriver->getProtocolErrors(); ! errors.isEmpty())
            return fail ("the private driver refused a request: " + errors[0]);

        std::cout << "answers through the private driver only: " << privateDriver->getRequestCount (12) << " capture reads" << std::endl;
    }

    std::cout << "completed in " << juce::String (reporter.seconds(), 1) << " s: the keyboard runs firmware "
              << juce::String (keyboard->getFirmwareVersion(), 2) << " with both images as embedded"
              << (options->emergency ? "" : ", its user data restored, and the backup in " + backupFolder) << std::endl;

    engine = nullptr;
    return 0;
}
