#pragma once

#include "app/ApplicationCommandIDs.h"
#include "engine/ApplicationEngine.h"
#include "ui/CustomLook.h"
#include "ui/ProgressDisplayWithBackground.h"
#include "ui/ScaledImageButton.h"

/** The window's content: the keyboard's picture, the notice or the current step, the
    versions, the progress bar and the Update button. It learns everything from the
    engine's notifications and acts only through the application's commands; a backup
    folder dropped on it is handed to the "Restore Backup" command.
*/
class MainWindowComponent final : public juce::Component,
                                  public juce::ReferenceCountedObject,
                                  public ApplicationEngine::Listener,
                                  public juce::KeyListener,
                                  public juce::Button::Listener,
                                  public juce::FileDragAndDropTarget
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<MainWindowComponent>;

    /** The window's size in its own units; a display of a higher scale shows it larger. */
    static constexpr int windowWidth = 400, windowHeight = 311;

    /** The version of the firmware this updater carries. */
    static constexpr double updateVersion = FirmwareUpdate::embeddedVersion;

    /** The black background with the product lockup and the maker's logo, shown until
        the keyboard's model is known.
    */
    class GenericBackgroundComponent final : public juce::Component
    {
    public:
        GenericBackgroundComponent();

        void paint (juce::Graphics& g) override;
        void resized() override;

    private:
        std::unique_ptr<ScaledImageComponent> logo, lockup;

        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (GenericBackgroundComponent)
    };

    /** The command manager is the application's and must outlive this component. An
        updater that carries placeholder firmware says so at the top of the window.
    */
    explicit MainWindowComponent (juce::ApplicationCommandManager& commandManager, bool placeholderFirmware = false);
    ~MainWindowComponent() override;

    void resized() override;

    // ApplicationEngine::Listener
    void statusChanged (int status) override;
    void progressChanged (double progress) override;
    void errorOccurred (int error) override;
    void firmwareVersionChanged (double version) override;
    void hardwareModelChanged (int model) override;
    void emergencyModeChanged (bool isOn) override;

    /** Says, below the step, what to do about a wait for the keyboard that goes on. */
    void waitNoticeChanged (int notice) override;

    /** Any key toggles emergency mode. */
    bool keyPressed (const juce::KeyPress& key, juce::Component* originatingComponent) override;
    using juce::Component::keyPressed;

    void buttonClicked (juce::Button* button) override;

    bool isInterestedInFileDrag (const juce::StringArray& files) override;
    void filesDropped (const juce::StringArray& files, int x, int y) override;

    /** The folder last dropped on the window, handed over once. */
    juce::File takeDroppedFolder();

    // The children, for those who look at the window from outside.
    juce::Component& getBackground() noexcept { return *background; }
    juce::ImageButton& getUpdateButton() noexcept { return *updateButton; }
    ProgressDisplayWithBackground& getProgressDisplay() noexcept { return *progressDisplay; }
    juce::Label& getCurrentVersionLabel() noexcept { return *currentVersionLabel; }
    juce::Label& getUpdateVersionLabel() noexcept { return *updateVersionLabel; }
    juce::Label& getStatusLabel() noexcept { return *statusLabel; }
    juce::Label& getEmergencyLabel() noexcept { return *emergencyLabel; }
    juce::Label* getPlaceholderLabel() noexcept { return placeholderLabel.get(); }

private:
    /** Rebuilds the notice and shows the controls. */
    void showDeviceInfo();

    void invokeCommand (juce::CommandID command);

    std::unique_ptr<juce::Component> background;
    std::unique_ptr<ScaledImageButton> updateButton;
    std::unique_ptr<ProgressDisplayWithBackground> progressDisplay;
    std::unique_ptr<juce::Label> currentVersionLabel, updateVersionLabel, statusLabel, emergencyLabel, placeholderLabel;
    juce::File droppedFolder;
    juce::String stepText; // "Status: " and the step's own text
    bool showingStep = false;
    bool emergencyMode = false;
    CustomLook customLook;
    double firmwareVersion = 0.0;
    int hardwareModel = HardwareModel::unknown;
    juce::ApplicationCommandManager& commandManager;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindowComponent)
};
