#include "app/MoreltaFirmwareUpdaterApplication.h"

#include "midi/JuceMidiPortSystem.h"

namespace
{
const char* const alertTitle = "MORELTA Firmware Updater";

const char* const companionRunningText = "ZOQ Software is currently running.  Please close ZOQ Software(Standalone and plugin versions) to proceed with the firmware update.";
const char* const updateInProgressText = "Update in progress. Exiting the application while an update is in progress will leave the MORELTA keyboard in an unusable state.";
const char* const updateCompleteText = "Firmware Update Complete.";
const char* const backupErrorText = "There was an error reading or writing to the user data backup.";
const char* const updateAbortedText = "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support.";
const char* const emergencyInstructionsText = "To perform an emergency update:\n1. Power MORELTA keyboard while holding ENTER + FULL LEVEL\n2. Press SHIFT when instructed on MORELTA keyboard screen.\n3. Press OK here to continue.";
} // namespace

MoreltaFirmwareUpdaterApplication::MoreltaFirmwareUpdaterApplication()
    : MoreltaFirmwareUpdaterApplication (Environment {
        new JuceMidiPortSystem(),
        juce::File::getSpecialLocation (juce::File::commonApplicationDataDirectory) })
{
}

MoreltaFirmwareUpdaterApplication::MoreltaFirmwareUpdaterApplication (Environment env)
    : environment (std::move (env))
{
}

MoreltaFirmwareUpdaterApplication::~MoreltaFirmwareUpdaterApplication()
{
    // In this order: the command manager, the engine, the window, then the port manager.
    wineRepaintPump.reset();
    commandManager.reset();
    engine = nullptr;
    mainWindow = nullptr;
    midiManager = nullptr;
    defaultLook.reset();
}

const juce::String MoreltaFirmwareUpdaterApplication::getApplicationName()
{
    return "MORELTA Firmware Updater";
}

const juce::String MoreltaFirmwareUpdaterApplication::getApplicationVersion()
{
    return "1.0.10";
}

void MoreltaFirmwareUpdaterApplication::initialise (const juce::String&)
{
    emergencyMode = false;
    defaultLook = std::make_unique<FontSubstitutingLook::ScopedDefault>();
    juce::LookAndFeel::getDefaultLookAndFeel().setUsingNativeAlertWindows (true);

    commandManager = std::make_unique<juce::ApplicationCommandManager>();
    midiManager = new MidiManager (environment.midiPorts);
    engine = new ApplicationEngine (midiManager);
    commandManager->registerAllCommandsForTarget (this);
    engine->addListener (this);

    // Added after the application, so the window hears each notification first.
    MainWindowComponent::Ptr component = new MainWindowComponent (*commandManager);
    engine->addListener (component.get());
    mainWindow = new MainWindow (component);
    wineRepaintPump = std::make_unique<WineRepaintPump>();

    // The window is on screen before the lock alert comes up.
    engine->setEmergencyMode (emergencyMode);

    while (! checkCompanionLock())
    {
        if (! askOkCancel (companionRunningText))
        {
            systemRequestedQuit();
            break;
        }
    }
}

void MoreltaFirmwareUpdaterApplication::shutdown()
{
    lockFile.release();
}

bool MoreltaFirmwareUpdaterApplication::checkCompanionLock()
{
    const auto folder = environment.commonDataFolder.getChildFile ("Ivra Professional/zoq");

    if (! folder.isDirectory())
    {
        lockFile.release();
        return true;
    }

    const auto path = folder.getChildFile (".inuse.lck").getFullPathName().replaceCharacter ('\\', '/');
    return lockFile.acquire (path);
}

void MoreltaFirmwareUpdaterApplication::systemRequestedQuit()
{
    if (engine != nullptr && engine->isBusy() && ! askOkCancel (updateInProgressText))
        return;

    quitApplication();
}

void MoreltaFirmwareUpdaterApplication::statusChanged (int status)
{
    if (status == EngineStatus::completed)
        endUpdate (updateCompleteText);
}

void MoreltaFirmwareUpdaterApplication::errorOccurred (int error)
{
    endUpdate (error == EngineError::backupDataError ? backupErrorText : updateAbortedText);
}

void MoreltaFirmwareUpdaterApplication::getAllCommands (juce::Array<juce::CommandID>& commands)
{
    commands.add (ApplicationCommandIDs::updateCommandID, ApplicationCommandIDs::toggleEmergencyModeCommandID);
}

void MoreltaFirmwareUpdaterApplication::getCommandInfo (juce::CommandID command, juce::ApplicationCommandInfo& result)
{
    if (command == ApplicationCommandIDs::updateCommandID)
        result.setInfo ("Update", {}, "General", 0);
    else if (command == ApplicationCommandIDs::toggleEmergencyModeCommandID)
        result.setInfo ("Toggle EmergencyMode", {}, "General", 0);
    else
        return;

    result.setActive (engine != nullptr && ! engine->isBusy());
}

bool MoreltaFirmwareUpdaterApplication::perform (const InvocationInfo& info)
{
    if (info.commandID == ApplicationCommandIDs::updateCommandID)
    {
        performUpdate();
    }
    else if (info.commandID == ApplicationCommandIDs::toggleEmergencyModeCommandID)
    {
        emergencyMode = ! emergencyMode;
        engine->setEmergencyMode (emergencyMode);
    }

    return true;
}

void MoreltaFirmwareUpdaterApplication::performUpdate()
{
    if (emergencyMode && ! askOkCancel (emergencyInstructionsText))
        return;

    // Checks again that the engine is idle: the instructions ran a message loop.
    engine->beginUpdate();
}

void MoreltaFirmwareUpdaterApplication::endUpdate (const juce::String& alertText)
{
    showWarning (alertText);
    emergencyMode = false;
    engine->setEmergencyMode (false);
}

bool MoreltaFirmwareUpdaterApplication::askOkCancel (const juce::String& text)
{
    return juce::NativeMessageBox::showOkCancelBox (juce::MessageBoxIconType::InfoIcon, alertTitle, text, nullptr, nullptr);
}

void MoreltaFirmwareUpdaterApplication::showWarning (const juce::String& text)
{
    juce::NativeMessageBox::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon, alertTitle, text);
}

void MoreltaFirmwareUpdaterApplication::quitApplication()
{
    quit();
}
