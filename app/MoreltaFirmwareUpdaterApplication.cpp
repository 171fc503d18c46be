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
    // In this order: the command manager, the engine, then the port manager.
    commandManager.reset();
    engine = nullptr;
    midiManager = nullptr;
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
    juce::LookAndFeel::getDefaultLookAndFeel().setUsingNativeAlertWindows (true);

    commandManager = std::make_unique<juce::ApplicationCommandManager>();
    midiManager = new MidiManager (environment.midiPorts);
    engine = new ApplicationEngine (midiManager);

    // The commands are registered here, and the window created after the listener below.
    engine->addListener (this);
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
