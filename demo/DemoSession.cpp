#include "demo/DemoSession.h"

#include "sim/UpdateResultCheck.h"

#include <iostream>

const char* const DemoSession::usage = R"(usage: MORELTA Firmware Updater Demo [options]
  --model 25|49|61          the simulated keyboard's model (49)
  --layout class|private|new  its ports as the class driver, the private driver or Windows'
                            newer style names them (class)
  --update-mode-layout class|new  named otherwise in its update mode
  --firmware X.YY           its firmware version before the update (1.15)
  --emergency               the keyboard starts in its update mode: an emergency update
  --profile fast|realistic  its timing (realistic)
  --seed N                  the seed its user data is made from (1)
  --autopilot FOLDER        press the button once the keyboard shows, save a picture of the
                            window at each step into FOLDER, quit with 0 on a good update
  --timeout SECONDS         on autopilot, give up after this long (900)
)";

std::optional<DemoSession::Options> DemoSession::parse (const juce::StringArray& args, juce::String& problem)
{
    Options o;
    o.keyboard.firmwareVersion = 1.15;
    o.keyboard.timing = *SimulatedKeyboard::Timing::named ("realistic");

    for (int i = 0; i < args.size(); ++i)
    {
        const auto a = args[i];
        const auto value = args[i + 1];
        auto takesValue = [&]
        { ++i; return value.isNotEmpty(); };

        if (a == "--emergency")
            o.keyboard.startsInUpdateMode = true;
        else if (SimulatedKeyboard::Settings::isOption (a) && takesValue() && o.keyboard.applyOption (a, value))
            continue;
        else if (a == "--autopilot" && takesValue())
        {
            o.autopilot = true;
            o.screenshotFolder = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        }
        else if (a == "--timeout" && takesValue() && value.containsOnly ("0123456789"))
            o.timeoutSeconds = value.getIntValue();
        else
        {
            problem = "cannot use '" + a + "'";
            return {};
        }
    }

    return o;
}

DemoSession::DemoSession (MoreltaFirmwareUpdaterApplication& application, VirtualMidiPortSystem::Ptr virtualPorts, SimulatedPrivateDriver::Ptr driver, Options demoOptions)
    : app (application)
    , ports (std::move (virtualPorts))
    , privateDriver (std::move (driver))
    , options (std::move (demoOptions))
{
    app.getEngine()->addListener (this);

    if (options.autopilot)
        options.screenshotFolder.createDirectory();

    say ("the updater is up; a simulated MORELTA" + juce::String (options.keyboard.keys) + " with firmware "
         + juce::String (options.keyboard.firmwareVersion, 2) + (options.keyboard.startsInUpdateMode ? " in its update mode" : "")
         + " is plugged in after " + juce::String (options.plugInAfterMs) + " ms");

    // A moment after start, as a user plugs the keyboard in after starting the updater.
    juce::Timer::callAfterDelay (options.plugInAfterMs, [weakThis = juce::WeakReference<DemoSession> (this)]
                                 {
                                     if (weakThis != nullptr)
                                     {
                                         weakThis->keyboard = std::make_unique<SimulatedKeyboard> (weakThis->ports, weakThis->options.keyboard, weakThis->privateDriver);
                                         weakThis->pluggedInMs = juce::Time::getMillisecondCounterHiRes();
                                         weakThis->say ("keyboard plugged in: " + weakThis->keyboard->getOutputNames().joinIntoString (", "));
                                     } });

    if (options.autopilot)
    {
        saveScreenshot ("start");
        startTimer (100);
    }
}

DemoSession::~DemoSession()
{
    stopTimer();
    keyboard.reset();
}

void DemoSession::say (const juce::String& line) const
{
    const auto seconds = (juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0;
    std::cout << juce::String (seconds, 3).paddedLeft (' ', 8) << " s  " << line << std::endl;
}

void DemoSession::statusChanged (int status)
{
    if (status == lastStatus)
        return;

    lastStatus = status;

    // The window hears the notification after this listener: its picture is taken once
    // the whole notification has been delivered.
    juce::MessageManager::callAsync ([this, weakThis = juce::WeakReference<DemoSession> (this), status, progressThen = progress]
                                     {
                                         if (weakThis == nullptr)
                                             return;

                                         auto& window = app.getMainWindow()->getMainComponent();
                                         say (juce::String (EngineStatus::nameOf (status)).paddedRight (' ', 24)
                                              + juce::String (progressThen * 100.0, 1).paddedLeft (' ', 5) + " %   \"" + window.getStatusLabel().getText().upToFirstOccurrenceOf ("\n", false, false) + "\"");

                                         if (options.autopilot)
                                             saveScreenshot (EngineStatus::nameOf (status)); });

    if (status == EngineStatus::completed && stage == Stage::updating)
        stage = Stage::checking;
}

void DemoSession::firmwareVersionChanged (double version)
{
    // How soon a keyboard plugged in is found, up to its version in the window.
    if (version > 0.0 && pluggedInMs > 0.0)
        say ("the window shows firmware " + juce::String (version, 2) + ", "
             + juce::String (juce::roundToInt (juce::Time::getMillisecondCounterHiRes() - std::exchange (pluggedInMs, 0.0))) + " ms after the keyboard was plugged in");
}

void DemoSession::errorOccurred (int error)
{
    say (juce::String ("error: ") + EngineError::nameOf (error));

    if (options.autopilot && stage != Stage::done)
        juce::MessageManager::callAsync ([weakThis = juce::WeakReference<DemoSession> (this)]
                                         {
                                             if (weakThis != nullptr)
                                                 weakThis->finish (1, "FAILED: the update stopped with an error"); });
}

void DemoSession::timerCallback()
{
    auto& engine = *app.getEngine();
    auto& window = app.getMainWindow()->getMainComponent();
    const bool emergency = options.keyboard.startsInUpdateMode;

    if ((juce::Time::getMillisecondCounterHiRes() - startMs) / 1000.0 > options.timeoutSeconds)
        return finish (1, "FAILED: no result after " + juce::String (options.timeoutSeconds) + " s");

    if (engine.isBusy() && backupFolder.isEmpty())
        backupFolder = engine.getBackupFolder();

    switch (stage)
    {
        case Stage::waitingForKeyboard:
            // As a user would: the window shows the keyboard's model and, unless it sits in
            // its update mode, its firmware version.
            if (keyboard == nullptr || engine.getState().model == HardwareModel::unknown
                || (! emergency && ! window.getCurrentVersionLabel().getText().startsWith ("Current Firmware: ")))
                return;

            say (juce::String ("the window shows the ") + HardwareModel::nameOf (engine.getState().model)
                 + (emergency ? juce::String() : ", \"" + window.getCurrentVersionLabel().getText() + "\""));
            saveScreenshot ("keyboard-found");

            if (emergency)
            {
                say ("pressing a key: emergency mode on");
                window.keyPressed (juce::KeyPress ('e'), &window);
                stage = Stage::switchingEmergencyMode;
                return;
            }

            break;

        case Stage::switchingEmergencyMode:
            if (! window.getEmergencyLabel().isVisible())
                return;

            saveScreenshot ("emergency-mode");
            break;

        case Stage::checking:
            if (engine.isBusy() || keyboard->getFirmwareVersion() != SimulatedKeyboard::newFirmwareVersion)
                return;

            if (const auto problem = UpdateResultCheck::check (*keyboard, emergency, backupFolder); problem.isNotEmpty())
                return finish (1, "FAILED: " + problem);

            return finish (0, "completed: the keyboard runs firmware " + juce::String (keyboard->getFirmwareVersion(), 2) + " with both images as embedded" + (emergency ? juce::String() : ", its user data restored, the backup in " + backupFolder));

        case Stage::updating:
        case Stage::done:
            return;
    }

    say ("pressing \"UPDATE FIRMWARE\"");
    stage = Stage::updating;
    window.getUpdateButton().triggerClick();
}

void DemoSession::saveScreenshot (const juce::String& name)
{
    auto* window = app.getMainWindow();
    const auto picture = window->createComponentSnapshot (window->getLocalBounds());
    const auto file = options.screenshotFolder.getChildFile (juce::String (screenshots++).paddedLeft ('0', 2) + "-" + name + ".png");

    file.deleteFile();
    juce::FileOutputStream out (file);
    juce::PNGImageFormat png;

    if (! out.openedOk() || ! png.writeImageToStream (picture, out))
        say ("could not write " + file.getFullPathName());
}

void DemoSession::finish (int exitCode, const juce::String& line)
{
    stopTimer();
    stage = Stage::done;
    say (line);

    if (options.autopilot)
        say ("pictures of the window: " + options.screenshotFolder.getFullPathName());

    juce::JUCEApplicationBase::getInstance()->setApplicationReturnValue (exitCode);
    juce::JUCEApplicationBase::quit();
}
