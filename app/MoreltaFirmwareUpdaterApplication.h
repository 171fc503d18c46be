#pragma once

#include "app/ApplicationCommandIDs.h"
#include "app/UpdateSessionGuard.h"
#include "engine/ApplicationEngine.h"
#include "platform/ExclusiveFileLock.h"
#include "platform/FontSubstitutingLook.h"
#include "platform/WineRepaintPump.h"
#include "ui/MainWindow.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** The application object: builds the MIDI port manager, the engine and the window,
    refuses to run while the companion software holds its in-use lock file, performs the
    "Update", "Toggle EmergencyMode" and "Restore Backup" commands, guards quitting during
    an update and shows the final alert of each update. After an emergency update it
    offers to put the newest backup of the keyboard back.
*/
class MoreltaFirmwareUpdaterApplication : public juce::JUCEApplication,
                                          public ApplicationEngine::Listener
{
public:
    /** What the application takes from the machine; tests and the demo replace it. */
    struct Environment
    {
        MidiPortSystem::Ptr midiPorts;

        /** The machine-wide application data folder that holds the companion's lock. */
        juce::File commonDataFolder;

        /** The maker's private USB MIDI driver, as the machine has it; null: none. */
        PrivateDriverSystem::Ptr privateDrivers = nullptr;

        /** The desktop session the window lives in; null: the platform's. */
        DesktopSession::Ptr desktopSession = nullptr;
    };

    /** The platform's MIDI ports and folders. */
    MoreltaFirmwareUpdaterApplication();
    explicit MoreltaFirmwareUpdaterApplication (Environment environment);
    ~MoreltaFirmwareUpdaterApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override { return false; }
    void initialise (const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted (const juce::String&) override {}
    void systemRequestedQuit() override;
    void suspended() override {}
    void resumed() override {}

    // ApplicationEngine::Listener
    void statusChanged (int status) override;
    void progressChanged (double) override {}
    void errorOccurred (int error) override;
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    // juce::ApplicationCommandTarget: the commands, active only while the engine is not
    // busy.
    void getAllCommands (juce::Array<juce::CommandID>& commands) override;
    void getCommandInfo (juce::CommandID command, juce::ApplicationCommandInfo& result) override;
    bool perform (const InvocationInfo& info) override;

    /** Returns whether the companion software leaves the updater free to run; while the
        updater runs it holds the lock file itself.
    */
    bool checkCompanionLock();

    ApplicationEngine* getEngine() const noexcept { return engine.get(); }
    MidiManager* getMidiManager() const noexcept { return midiManager.get(); }
    bool isEmergencyMode() const noexcept { return emergencyMode; }
    bool holdsCompanionLock() const noexcept { return lockFile.isHeld(); }
    MainWindow* getMainWindow() const noexcept { return mainWindow.get(); }
    DesktopSession* getDesktopSession() const noexcept { return desktopSession.get(); }
    juce::ApplicationCommandManager* getCommandManager() const noexcept { return commandManager.get(); }

protected:
    // The alert boxes and the quit, overridden by tests so that nothing waits for a click.

    /** A modal OK/Cancel box with the information icon; true for OK. */
    virtual bool askOkCancel (const juce::String& text);

    /** A non-modal box with the warning icon and one button. */
    virtual void showWarning (const juce::String& text);

    /** A non-modal box with the warning icon and the buttons "Try again" and OK;
        "Try again" calls tryAgain.
    */
    virtual void offerTryAgain (const juce::String& text);

    /** The same with "Put my settings back", which asks the engine to put back the data
        of the restore cut short.
    */
    virtual void offerPutBack (const juce::String& text);

    /** Sends the failed update's firmware again, as the user asked, or says why not. */
    void tryAgain();

    virtual void quitApplication();

private:
    enum class Offer
    {
        nothing,
        tryAgain,
        putBack
    };

    void endUpdate (const juce::String& alertText, Offer offer = Offer::nothing);
    void offer (const juce::String& text, const juce::String& button, std::function<void()> action);
    bool offerPutBackFirst();
    juce::String tryAgainAlertText (int error) const;
    void performUpdate();
    void restoreDroppedFolder();
    void offerNewestBackup();
    void restoreBackup (const BackupFolder& backup, const juce::String& question);

    // Outlives the window: every font the window draws is resolved through it.
    std::unique_ptr<FontSubstitutingLook::ScopedDefault> defaultLook;

    Environment environment;
    MidiManager::Ptr midiManager;
    MainWindow::Ptr mainWindow;
    ApplicationEngine::Ptr engine;
    std::unique_ptr<juce::ApplicationCommandManager> commandManager;
    ExclusiveFileLock lockFile;

    // The session does not end, and the taskbar shows the progress, while an update runs.
    DesktopSession::Ptr desktopSession;
    std::unique_ptr<UpdateSessionGuard> sessionGuard;

    bool emergencyMode = false;

    // Only in Wine: without it the window would never show a change.
    std::unique_ptr<WineRepaintPump> wineRepaintPump;

    JUCE_DECLARE_WEAK_REFERENCEABLE (MoreltaFirmwareUpdaterApplication)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MoreltaFirmwareUpdaterApplication)
};
