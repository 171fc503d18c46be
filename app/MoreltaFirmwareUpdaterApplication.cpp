#include "app/MoreltaFirmwareUpdaterApplication.h"

#include "engine/HalfRestoredMark.h"
#include "resources/EmbeddedResources.h"

#if JUCE_WINDOWS
#include "midi/Win32PrivateDriverSystem.h"
#include "midi/WinMidiPortSystem.h"
#else
#include "midi/JuceMidiPortSystem.h"
#include "midi/NoPrivateDriverSystem.h"
#endif

namespace
{
const char* const alertTitle = "MORELTA Firmware Updater";

const char* const companionRunningText = "ZOQ Software is currently running.  Please close ZOQ Software(Standalone and plugin versions) to proceed with the firmware update.";
const char* const updateInProgressText = "Update in progress. Exiting the application while an update is in progress will leave the MORELTA keyboard in an unusable state.";
const char* const updateCompleteText = "Firmware Update Complete.";
const char* const backupErrorText = "There was an error reading or writing to the user data backup.";
const char* const updateAbortedText = "Update has been aborted due to an error. Please try the update again. If you continue to receive this error, contact Customer Support.";
const char* const nothingSentText = "The update stopped before anything was sent to the keyboard: its firmware, settings and presets are as they were. "
                                    "Please try the update again. If you continue to receive this error, contact Customer Support.";
const char* const emergencyInstructionsText = "To perform an emergency update:\n1. Power MORELTA keyboard while holding ENTER + FULL LEVEL\n2. Press SHIFT when instructed on MORELTA keyboard screen.\n3. Press OK here to continue.";

const char* const placeholderFirmwareText = "This updater was built with placeholder firmware, which must never reach a keyboard, so it does not update one.\n"
                                            "To update a keyboard, build the updater with the real firmware: configure it with -DMORELTA_FIRMWARE_DIR=<the folder that holds KVX1_RCap.syx and KVX1_RC_assets.syx>.";
const char* const versionUnknownText = "The keyboard's firmware version is not known yet, so the update cannot start.\n"
                                       "Connect the keyboard and wait until the window shows its current firmware, then press UPDATE FIRMWARE again. "
                                       "A keyboard started in its update mode shows no version: press any key in this window for the emergency update.";
const char* const severalKeyboardsText = "More than one MORELTA keyboard is connected, so the update cannot start.\n"
                                         "Disconnect all but the keyboard you want to update, then press UPDATE FIRMWARE again.";
const char* const notConfirmedText = "The keyboard did not come back with the new firmware, so your settings and presets were not put back.";
const char* const backupIsSafeText = "They are safe in the backup folder:\n";
const char* const emergencyUpdateNextText = "Next, run an emergency update: press any key in this window, then UPDATE FIRMWARE, and follow the instructions.";
const char* const offerAfterEmergencyText = "When it is done, the updater offers to put your settings and presets back.";
const char* const emergencyNotConfirmedText = "The keyboard did not come back with the new firmware.";
const char* const transferStoppedText = "The firmware transfer stopped before the keyboard had all of it, so your settings and presets were not put back.";
const char* const emergencyTransferStoppedText = "The firmware transfer stopped before the keyboard had all of it.";
const char* const tryAgainText = "Press Try again to send the firmware again as soon as the keyboard is connected: it usually waits for it in its update mode.";
const char* const restoreAfterTryText = " Once the keyboard runs the new firmware, your settings and presets are put back.";
const char* const emergencyIfNotText = "If that does not help, run an emergency update: press any key in this window, then UPDATE FIRMWARE, and follow the instructions.";
const char* const tryAgainButtonText = "Try again";
const char* const tryAgainSeveralKeyboardsText = "More than one MORELTA keyboard is connected, so the firmware was not sent again.\n"
                                                 "Disconnect all but the keyboard whose update failed, then press Try again.";
const char* const tryAgainOtherKeyboardText = "The keyboard connected is not of the model whose update failed, so nothing was sent to it.\n"
                                              "Connect the keyboard whose update failed, then press Try again.";

// What JUCE's box reports for the button an alert offers ("Try again", "Put my settings
// back"), its first: the button's index on Windows; on Linux, where the native box is
// JUCE's own OK/Cancel window, 1 for the first button and 0 for the second.
#if JUCE_WINDOWS
constexpr int offeredButtonResult = 0;
#else
constexpr int offeredButtonResult = 1;
#endif
const char* const offerBackupText = "The keyboard now runs the new firmware, with its factory settings and presets. A backup of your own was found:\n";
const char* const putBackNowText = "\nPut it back into the keyboard now?";
const char* const confirmRestoreText = "Put this backup back into the keyboard? Its global settings and presets replace those on the keyboard.\n";
const char* const restoreCompleteText = "The backup was put back into the keyboard.";
const char* const restoreIncompleteText = "Not all of your settings and presets could be put back into the keyboard: it holds only part of them.";
const char* const restoreCutShortText = "Putting your settings and presets back into the keyboard was cut short: it holds only part of them.";
const char* const putBackAdviceText = "Press Put my settings back to put them back and check them as soon as the keyboard is connected.";
const char* const putBackButtonText = "Put my settings back";
const char* const putBackCompleteText = "Your settings and presets were put back into the keyboard.";
const char* const putBackFirstText = "This keyboard was left holding only part of your settings and presets. They are safe in the backup folder:\n";
const char* const putBackFirstQuestionText = "\nPut them back into the keyboard now, before anything else?";
const char* const restoreAbortedText = "Putting the backup back was aborted due to an error. The backup folder is unchanged: please try again. If you continue to receive this error, contact Customer Support.";

// On Windows the ports are WinMM's through our own code: JUCE's can hang a send for ever,
// lose input and open another port than the one asked for.
MidiPortSystem::Ptr makeMidiPortSystem()
{
#if JUCE_WINDOWS
    return new WinMidiPortSystem();
#else
    return new JuceMidiPortSystem();
#endif
}

// The maker's private USB MIDI driver exists on Windows only.
PrivateDriverSystem::Ptr makePrivateDriverSystem()
{
#if JUCE_WINDOWS
    return new Win32PrivateDriverSystem();
#else
    return new NoPrivateDriverSystem();
#endif
}
} // namespace

MoreltaFirmwareUpdaterApplication::MoreltaFirmwareUpdaterApplication()
    : MoreltaFirmwareUpdaterApplication (Environment {
        makeMidiPortSystem(),
        juce::File::getSpecialLocation (juce::File::commonApplicationDataDirectory),
        makePrivateDriverSystem(),
        DesktopSession::createForPlatform() })
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

    // The engine's listeners go after it, the window after the session lets go of it.
    sessionGuard.reset();

    if (desktopSession != nullptr)
        desktopSession->attach (nullptr);

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
    midiManager = new MidiManager (environment.midiPorts, environment.privateDrivers);
    engine = new ApplicationEngine (midiManager);
    commandManager->registerAllCommandsForTarget (this);
    engine->addListener (this);

    // Added after the application, so the window hears each notification first.
    MainWindowComponent::Ptr component = new MainWindowComponent (*commandManager, EmbeddedResources::firmwareIsPlaceholder);
    engine->addListener (component.get());
    mainWindow = new MainWindow (component);

    desktopSession = environment.desktopSession != nullptr ? environment.desktopSession : DesktopSession::Ptr (new NoDesktopSession());
    desktopSession->attach (mainWindow.get());
    sessionGuard = std::make_unique<UpdateSessionGuard> (desktopSession);
    engine->addListener (sessionGuard.get());
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
    if (status != EngineStatus::completed)
        return;

    const auto kind = engine->getRunKind();
    endUpdate (kind == RunKind::backupRestore ? restoreCompleteText : (kind == RunKind::putBack ? putBackCompleteText : updateCompleteText));

    // Asked once the engine is idle again, after this notification.
    if (isEmergency (kind))
        juce::MessageManager::callAsync ([weakThis = juce::WeakReference<MoreltaFirmwareUpdaterApplication> (this)]
                                         {
                                             if (weakThis != nullptr)
                                                 weakThis->offerNewestBackup(); });
}

void MoreltaFirmwareUpdaterApplication::errorOccurred (int error)
{
    // Cut short in the restore or its check: the data is still here, and where it is on
    // disk is said.
    if (engine->canPutBack())
    {
        juce::String text (error == EngineError::restoreIncomplete ? restoreIncompleteText : restoreCutShortText);
        text << (engine->getErrorDetail().isNotEmpty() ? " " + engine->getErrorDetail() : juce::String());

        if (const auto folder = engine->getPutBackFolder(); folder.isNotEmpty())
            text << " " << backupIsSafeText << folder;

        endUpdate (text + "\n" + putBackAdviceText, Offer::putBack);
        return;
    }

    if (engine->getRunKind() == RunKind::backupRestore)
    {
        endUpdate (restoreAbortedText);
        return;
    }

    if (engine->canTryAgain())
    {
        endUpdate (tryAgainAlertText (error), Offer::tryAgain);
        return;
    }

    if (error == EngineError::firmwareNotConfirmed)
    {
        const auto folder = engine->getLastBackupFolder();
        endUpdate (folder.isEmpty() ? juce::String (notConfirmedText) + "\n" + emergencyUpdateNextText
                                    : juce::String (notConfirmedText) + " " + backupIsSafeText + folder + "\n" + emergencyUpdateNextText + " " + offerAfterEmergencyText);
        return;
    }

    // The backup could not be read: the part that failed is named, and the keyboard was
    // left alone.
    if (error == EngineError::globalsTimeout || error == EngineError::presetTimeout)
    {
        endUpdate ((engine->getErrorDetail() + " " + nothingSentText).trim());
        return;
    }

    endUpdate (error == EngineError::backupDataError ? backupErrorText : updateAbortedText);
}

juce::String MoreltaFirmwareUpdaterApplication::tryAgainAlertText (int error) const
{
    const auto emergency = isEmergency (engine->getTryAgainKind());
    const auto folder = engine->getLastBackupFolder();
    const auto notConfirmed = error == EngineError::firmwareNotConfirmed;

    juce::String text (emergency ? (notConfirmed ? emergencyNotConfirmedText : emergencyTransferStoppedText)
                                 : (notConfirmed ? notConfirmedText : transferStoppedText));

    if (! emergency && folder.isNotEmpty())
        text << " " << backupIsSafeText << folder;

    text << "\n"
         << tryAgainText << (emergency ? "" : restoreAfterTryText) << "\n"
         << emergencyIfNotText;

    if (! emergency && folder.isNotEmpty())
        text << " " << offerAfterEmergencyText;

    return text;
}

void MoreltaFirmwareUpdaterApplication::tryAgain()
{
    // Refused, the user is told why and may press it again once that is mended.
    switch (engine->tryAgain())
    {
        case ApplicationEngine::Refusal::placeholderFirmware:
            showWarning (placeholderFirmwareText);
            break;

        case ApplicationEngine::Refusal::severalKeyboards:
            offerTryAgain (tryAgainSeveralKeyboardsText);
            break;

        case ApplicationEngine::Refusal::otherKeyboard:
            offerTryAgain (tryAgainOtherKeyboardText);
            break;

        case ApplicationEngine::Refusal::none:
        case ApplicationEngine::Refusal::busy:
        case ApplicationEngine::Refusal::versionUnknown:
        case ApplicationEngine::Refusal::nothingToTryAgain:
            break;
    }
}

void MoreltaFirmwareUpdaterApplication::getAllCommands (juce::Array<juce::CommandID>& commands)
{
    commands.add (ApplicationCommandIDs::updateCommandID, ApplicationCommandIDs::toggleEmergencyModeCommandID, ApplicationCommandIDs::restoreBackupCommandID);
}

void MoreltaFirmwareUpdaterApplication::getCommandInfo (juce::CommandID command, juce::ApplicationCommandInfo& result)
{
    if (command == ApplicationCommandIDs::updateCommandID)
        result.setInfo ("Update", {}, "General", 0);
    else if (command == ApplicationCommandIDs::toggleEmergencyModeCommandID)
        result.setInfo ("Toggle EmergencyMode", {}, "General", 0);
    else if (command == ApplicationCommandIDs::restoreBackupCommandID)
        result.setInfo ("Restore Backup", {}, "General", 0);
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
    else if (info.commandID == ApplicationCommandIDs::restoreBackupCommandID)
    {
        restoreDroppedFolder();
    }

    return true;
}

void MoreltaFirmwareUpdaterApplication::performUpdate()
{
    switch (engine->checkUpdateCanStart())
    {
        case ApplicationEngine::Refusal::placeholderFirmware:
            showWarning (placeholderFirmwareText);
            return;

        case ApplicationEngine::Refusal::versionUnknown:
            showWarning (versionUnknownText);
            return;

        case ApplicationEngine::Refusal::severalKeyboards:
            showWarning (severalKeyboardsText);
            return;

        case ApplicationEngine::Refusal::busy:
        case ApplicationEngine::Refusal::otherKeyboard:
        case ApplicationEngine::Refusal::nothingToTryAgain:
            return;

        case ApplicationEngine::Refusal::none:
            break;
    }

    if (! emergencyMode && offerPutBackFirst())
        return;

    if (emergencyMode && ! askOkCancel (emergencyInstructionsText))
        return;

    // Checks again: the instructions ran a message loop.
    engine->beginUpdate();
}

bool MoreltaFirmwareUpdaterApplication::offerPutBackFirst()
{
    // A backup of a keyboard left half-restored would be of the wrong data: the keyboard
    // gets the data it was left without first, if the user wants.
    const auto marked = HalfRestoredMark::findNewest (engine->getUserDataFolder(), engine->getState().model);

    if (! marked.has_value() || ! askOkCancel (putBackFirstText + marked->folder.getFullPathName() + putBackFirstQuestionText))
        return false;

    if (engine->canPutBack() && engine->getPutBackFolder() == marked->folder.getFullPathName())
        engine->putBack();
    else if (auto problem = engine->beginBackupRestore (*marked); problem.isNotEmpty())
        showWarning (problem);

    return true;
}

void MoreltaFirmwareUpdaterApplication::restoreDroppedFolder()
{
    const auto folder = mainWindow != nullptr ? mainWindow->getMainComponent().takeDroppedFolder() : juce::File();
    juce::String problem;

    if (const auto backup = BackupFolder::read (folder, problem))
        restoreBackup (*backup, confirmRestoreText + folder.getFullPathName());
    else
        showWarning (problem);
}

void MoreltaFirmwareUpdaterApplication::offerNewestBackup()
{
    if (engine->isBusy())
        return;

    // A backup whose keyboard was left half-restored holds the user's own data; those made
    // after it, of the half-restored keyboard, do not.
    auto backup = HalfRestoredMark::findNewest (engine->getUserDataFolder(), engine->getState().model);

    if (! backup.has_value())
        backup = BackupFolder::findNewest (engine->getUserDataFolder(), engine->getState().model);

    if (backup.has_value())
        restoreBackup (*backup, offerBackupText + backup->folder.getFullPathName() + putBackNowText);
}

void MoreltaFirmwareUpdaterApplication::restoreBackup (const BackupFolder& backup, const juce::String& question)
{
    // Nothing is asked of a user whose keyboard cannot take the backup anyway.
    if (auto problem = engine->checkBackupRestore (backup); problem.isNotEmpty())
    {
        showWarning (problem);
        return;
    }

    if (! askOkCancel (question))
        return;

    // Checked again inside: the question ran a message loop.
    if (auto problem = engine->beginBackupRestore (backup); problem.isNotEmpty())
        showWarning (problem);
}

void MoreltaFirmwareUpdaterApplication::endUpdate (const juce::String& alertText, Offer offer)
{
    if (offer == Offer::tryAgain)
        offerTryAgain (alertText);
    else if (offer == Offer::putBack)
        offerPutBack (alertText);
    else
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

void MoreltaFirmwareUpdaterApplication::offerTryAgain (const juce::String& text)
{
    offer (text, tryAgainButtonText, [this]
           { tryAgain(); });
}

void MoreltaFirmwareUpdaterApplication::offerPutBack (const juce::String& text)
{
    offer (text, putBackButtonText, [this]
           { engine->putBack(); });
}

void MoreltaFirmwareUpdaterApplication::offer (const juce::String& text, const juce::String& button, std::function<void()> action)
{
    const auto options = juce::MessageBoxOptions()
                             .withIconType (juce::MessageBoxIconType::WarningIcon)
                             .withTitle (alertTitle)
                             .withMessage (text)
                             .withButton (button)
                             .withButton ("OK");

    juce::NativeMessageBox::showAsync (options, [weakThis = juce::WeakReference<MoreltaFirmwareUpdaterApplication> (this), action = std::move (action)] (int result)
                                       {
                                           if (weakThis != nullptr && result == offeredButtonResult)
                                               action(); });
}

void MoreltaFirmwareUpdaterApplication::quitApplication()
{
    quit();
}
