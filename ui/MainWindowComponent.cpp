#include "ui/MainWindowComponent.h"

#include "engine/RestorePlan.h"
#include "ui/SupportPage.h"

namespace
{
const char* const deviceNotFoundText = "Device not found. Connect keyboard to perform update.";
const char* const closeOtherAppsText = "IMPORTANT: Before using this app, close all other MIDI apps, including ZOQ.\n\n";
const char* const presetsReplacedText = "This firmware update will replace the last two user presets with presets for TRQ and Studio One. It will not affect your other presets.\nIf you need to restore those last two user presets after the update, please contact our technical support team at: ";
const char* const backedUpToText = "Your presets will be backed up to: ";
const char* const notInUpdateModeText = "The keyboard has not restarted into its update mode yet. The update goes on as soon as it does. "
                                        "If nothing happens within a minute, close the updater (the keyboard still runs its old firmware, with your settings and presets), "
                                        "unplug the keyboard, plug it in again and start the update again.";
const char* const notBackText = "The keyboard has not come back yet. The update goes on as soon as it does. Check its USB cable, or unplug the keyboard and plug it in again.";
const char* const severalKeyboardsText = "Another MORELTA keyboard is connected, and the keyboard being updated cannot be told from it. Disconnect the other keyboard: the update goes on as soon as it is gone.";
const char* const placeholderText = "Placeholder firmware: this build updates no keyboard";

// Firmware before this version loses its last two presets in the update.
constexpr double presetNoticeVersion = RestorePlan::firstVersionWithOwnPresets;

const juce::Colour white (0xFFFFFFFF);

struct StepDisplay
{
    const char* text;
    bool buttonEnabled;
    bool resetsProgress;
};

// By engine status, 0 (idle) to 11.
const StepDisplay steps[] = {
    { " ", true, true },
    { "Backing up global data", false, false },
    { "Backing up preset data", false, false },
    { "", false, false },
    { "Erasing current firmware", false, false },
    { "Sending app firmware", false, false },
    { "Sending assets firmware", false, false },
    { "Waiting for device to reboot.", false, false },
    { "Restoring Global Data", false, false },
    { "Restoring Preset Data", false, false },
    { "Update complete", true, true },
    { "Checking restored data", false, false },
};

// The picture of a model's keyboard, named by its number of keys.
ScaledImage modelPicture (int model)
{
    return ScaledImage::named ("MoreltaFirmwareUpdater_Background_" + juce::String (HardwareModel::nameOf (model)).getLastCharacters (2));
}

std::unique_ptr<juce::Label> makeLabel (const juce::Font& font, const juce::String& text, int width, int height, int justification)
{
    auto label = std::make_unique<juce::Label> (juce::String(), juce::String());
    label->setColour (juce::Label::textColourId, white);
    label->setText (text, juce::dontSendNotification);
    label->setSize (width, height);
    label->setFont (font);
    label->setJustificationType (juce::Justification (justification));
    return label;
}
} // namespace

//==============================================================================
MainWindowComponent::GenericBackgroundComponent::GenericBackgroundComponent()
    : logo (std::make_unique<ScaledImageComponent> (ScaledImage::named ("IvraLogo")))
    , lockup (std::make_unique<ScaledImageComponent> (ScaledImage::named ("MoreltaLockup")))
{
    addAndMakeVisible (*logo);
    addAndMakeVisible (*lockup);
    setSize (windowWidth, windowHeight);
}

void MainWindowComponent::GenericBackgroundComponent::paint (juce::Graphics& g)
{
    g.fillAll (juce::Colour (0xFF000000));
}

void MainWindowComponent::GenericBackgroundComponent::resized()
{
    logo->setTopLeftPosition (20, 270);
    lockup->setTopLeftPosition (20, 10);
}

//==============================================================================
MainWindowComponent::MainWindowComponent (juce::ApplicationCommandManager& manager, bool placeholderFirmware)
    : commandManager (manager)
{
    background = std::make_unique<GenericBackgroundComponent>();
    addAndMakeVisible (*background);

    updateButton = std::make_unique<ScaledImageButton> (ScaledImage::named ("MoreltaFirmwareUpdater_UpdateButton_Normal"),
                                                        ScaledImage::named ("MoreltaFirmwareUpdater_UpdateButton_Hover"),
                                                        ScaledImage::named ("MoreltaFirmwareUpdater_UpdateButton_Press"));

    const auto frame = ScaledImage::named ("MoreltaFirmwareUpdater_ProgressBar");
    progressDisplay = std::make_unique<ProgressDisplayWithBackground> (frame);
    progressDisplay->setSize (frame.normal.getWidth(), frame.normal.getHeight());

    // A visible bar watches the progress on a timer of its own, many times a second: it
    // is shown only with the display, so that a window that waits for a keyboard rests.
    progressDisplay->getProgressBar().setVisible (false);

    updateButton->addListener (this);

    // A click leaves the keyboard focus where it was, so that Return and space toggle
    // emergency mode as every other key does, rather than start another update.
    updateButton->setWantsKeyboardFocus (false);
    updateButton->setMouseClickGrabsKeyboardFocus (false);

    statusLabel = makeLabel (juce::Font ("Arial", 12.0f, juce::Font::plain), deviceNotFoundText, 350, 100, 8);
    currentVersionLabel = makeLabel (juce::Font (16.0f, juce::Font::plain), "Current Version: ", 300, 25, 9);
    updateVersionLabel = makeLabel (juce::Font (16.0f, juce::Font::plain), "Update Version: " + juce::String (updateVersion), 300, 25, 9);
    addAndMakeVisible (*statusLabel);

    setLookAndFeel (&customLook);
    background->toBack();

    emergencyLabel = makeLabel (juce::Font (14.0f, juce::Font::plain), "Emergency Update", 100, 15, 9);
    addChildComponent (*emergencyLabel);

    if (placeholderFirmware)
    {
        placeholderLabel = makeLabel (juce::Font (11.0f, juce::Font::bold), placeholderText, 400, 12, juce::Justification::centredRight);
        placeholderLabel->setColour (juce::Label::textColourId, juce::Colour (0xFFFFB000));
        placeholderLabel->setBorderSize ({ 0, 0, 0, 4 });
        addAndMakeVisible (*placeholderLabel);
    }

    addKeyListener (this);
    setSize (windowWidth, windowHeight);
}

MainWindowComponent::~MainWindowComponent()
{
    removeKeyListener (this);
    updateButton->removeListener (this);

    // The look goes before the children: none may be left pointing at it.
    setLookAndFeel (nullptr);
}

void MainWindowComponent::resized()
{
    statusLabel->setTopLeftPosition (25, 90);
    progressDisplay->setTopLeftPosition (25, 190);
    currentVersionLabel->setTopLeftPosition (25, 225);
    updateVersionLabel->setTopLeftPosition (220, 225);
    updateButton->setTopLeftPosition (175, 250);
    emergencyLabel->setTopLeftPosition (getWidth() - emergencyLabel->getWidth(), getHeight() - emergencyLabel->getHeight());

    if (placeholderLabel != nullptr)
        placeholderLabel->setTopLeftPosition (0, 0);
}

//==============================================================================
void MainWindowComponent::statusChanged (int status)
{
    const StepDisplay other { "", false, false };
    const auto& step = juce::isPositiveAndBelow (status, (int) std::size (steps)) ? steps[status] : other;

    updateButton->setEnabled (step.buttonEnabled);

    if (step.resetsProgress)
        progressDisplay->progress = 0.0;

    stepText = juce::String ("Status: ") + step.text;
    showingStep = true;
    statusLabel->setText (stepText, juce::dontSendNotification);
}

void MainWindowComponent::waitNoticeChanged (int notice)
{
    if (! showingStep)
        return;

    const char* const advice = notice == WaitNotice::notInUpdateMode    ? notInUpdateModeText
                               : notice == WaitNotice::notBack          ? notBackText
                               : notice == WaitNotice::severalKeyboards ? severalKeyboardsText
                                                                        : nullptr;
    statusLabel->setText (advice != nullptr ? stepText + "\n\n" + advice : stepText, juce::dontSendNotification);
}

void MainWindowComponent::progressChanged (double progress)
{
    progressDisplay->progress = progress;
}

void MainWindowComponent::errorOccurred (int)
{
    progressDisplay->progress = 0.0;
    updateButton->setEnabled (true);
}

void MainWindowComponent::firmwareVersionChanged (double version)
{
    firmwareVersion = version;

    if (version < 1.0)
    {
        currentVersionLabel->setText ({}, juce::dontSendNotification);
        return;
    }

    currentVersionLabel->setText ("Current Firmware: " + juce::String (version, 2), juce::dontSendNotification);
    showDeviceInfo();
}

void MainWindowComponent::hardwareModelChanged (int model)
{
    hardwareModel = model;

    // An unknown model keeps the picture of the last known one.
    if (juce::String (HardwareModel::nameOf (model)).isEmpty())
        return;

    removeChildComponent (background.get());
    background = std::make_unique<ScaledImageComponent> (modelPicture (model));
    addAndMakeVisible (*background);

    showDeviceInfo();
}

void MainWindowComponent::emergencyModeChanged (bool isOn)
{
    emergencyMode = isOn;
    showDeviceInfo();
}

void MainWindowComponent::showDeviceInfo()
{
    juce::String notice (closeOtherAppsText);

    if (! emergencyMode && firmwareVersion != 0.0)
    {
        if (firmwareVersion < presetNoticeVersion)
            notice << presetsReplacedText << supportPageAddress;
        else
            notice << backedUpToText
                   << BackupFolder::modelFolder (juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory), hardwareModel).getFullPathName();
    }

    statusLabel->setText (notice, juce::dontSendNotification);
    showingStep = false;
    emergencyLabel->setVisible (emergencyMode);

    for (auto* control : { (juce::Component*) updateVersionLabel.get(), (juce::Component*) currentVersionLabel.get(), (juce::Component*) updateButton.get(), (juce::Component*) progressDisplay.get() })
    {
        control->setVisible (true);

        if (control->getParentComponent() != this)
            addAndMakeVisible (*control);
    }

    progressDisplay->getProgressBar().setVisible (true);

    progressDisplay->progress = 0.0;
    background->toBack();
}

//==============================================================================
bool MainWindowComponent::keyPressed (const juce::KeyPress&, juce::Component*)
{
    invokeCommand (ApplicationCommandIDs::toggleEmergencyModeCommandID);
    return true;
}

void MainWindowComponent::buttonClicked (juce::Button* button)
{
    if (button == updateButton.get())
        invokeCommand (ApplicationCommandIDs::updateCommandID);
}

bool MainWindowComponent::isInterestedInFileDrag (const juce::StringArray& files)
{
    return files.size() == 1;
}

void MainWindowComponent::filesDropped (const juce::StringArray& files, int, int)
{
    droppedFolder = juce::File (files[0]);
    invokeCommand (ApplicationCommandIDs::restoreBackupCommandID);
}

juce::File MainWindowComponent::takeDroppedFolder()
{
    return std::exchange (droppedFolder, juce::File());
}

void MainWindowComponent::invokeCommand (juce::CommandID command)
{
    juce::ApplicationCommandTarget::InvocationInfo info (command);
    info.invocationMethod = juce::ApplicationCommandTarget::InvocationInfo::direct;
    commandManager.invoke (info, true);
}
