#include "TestHelpers.h"
#include "app/ApplicationCommandIDs.h"
#include "engine/EngineTypes.h"
#include "platform/FontSubstitutingLook.h"
#include "resources/EmbeddedResources.h"
#include "ui/MainWindowComponent.h"
#include "ui/ScaledImage.h"

#include <gtest/gtest.h>

namespace
{
const juce::String deviceNotFoundText = "Device not found. Connect keyboard to perform update.";
const juce::String closeOtherAppsText = "IMPORTANT: Before using this app, close all other MIDI apps, including ZOQ.\n\n";
const juce::String presetsReplacedText = "This firmware update will replace the last two user presets with presets for TRQ and Studio One. It will not affect your other presets.\nIf you need to restore those last two user presets after the update, please contact our technical support team at: ";
const juce::String backedUpToText = "Your presets will be backed up to: ";

using Method = juce::ApplicationCommandTarget::InvocationInfo::InvocationMethod;

struct Invocation
{
    juce::CommandID command;
    Method method;

    bool operator== (const Invocation& other) const { return command == other.command && method == other.method; }
};

std::ostream& operator<< (std::ostream& out, const Invocation& i)
{
    return out << "command 0x" << std::hex << i.command << std::dec << " method " << (int) i.method;
}

/** Stands in for the application: performs the two commands by writing them down. */
class RecordingTarget final : public juce::ApplicationCommandTarget
{
public:
    juce::ApplicationCommandTarget* getNextCommandTarget() override { return nullptr; }

    void getAllCommands (juce::Array<juce::CommandID>& commands) override
    {
        commands.add (ApplicationCommandIDs::updateCommandID);
        commands.add (ApplicationCommandIDs::toggleEmergencyModeCommandID);
    }

    void getCommandInfo (juce::CommandID, juce::ApplicationCommandInfo& info) override
    {
        info.setInfo ("Test command", "Recorded by the test", "Test", 0);
    }

    bool perform (const InvocationInfo& info) override
    {
        EXPECT_TRUE (test::isMessageThread());
        performed.push_back ({ info.commandID, info.invocationMethod });
        return true;
    }

    std::vector<Invocation> performed;
};

juce::Image resourceImage (const char* data, int size)
{
    return juce::ImageCache::getFromMemory (data, size);
}

juce::Image modelPicture (int model)
{
    using namespace EmbeddedResources;

    switch (model)
    {
        case HardwareModel::morelta25:
            return resourceImage (MoreltaFirmwareUpdater_Background_25_png, MoreltaFirmwareUpdater_Background_25_pngSize);
        case HardwareModel::morelta49:
            return resourceImage (MoreltaFirmwareUpdater_Background_49_png, MoreltaFirmwareUpdater_Background_49_pngSize);
        case HardwareModel::morelta61:
            return resourceImage (MoreltaFirmwareUpdater_Background_61_png, MoreltaFirmwareUpdater_Background_61_pngSize);
        default:
            return {};
    }
}

juce::String backupNotice (const char* modelFolder)
{
    auto folder = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory).getChildFile ("Ivra Professional");

    if (*modelFolder != 0)
        folder = folder.getChildFile (modelFolder);

    return closeOtherAppsText + backedUpToText + folder.getFullPathName();
}

/** The preset notice ends with the support page's address, which the build chooses. */
void expectPresetNotice (const juce::String& text)
{
    const auto prefix = closeOtherAppsText + presetsReplacedText;
    ASSERT_TRUE (text.startsWith (prefix)) << text;

    const auto address = text.substring (prefix.length());
    EXPECT_TRUE (address.startsWith ("https://")) << address;
    EXPECT_GT (address.length(), 8) << address;
    EXPECT_FALSE (address.containsAnyOf (" \n\t")) << address;
}

bool isCloseTo (juce::Colour a, juce::Colour b, int tolerance)
{
    return std::abs (a.getAlpha() - b.getAlpha()) <= tolerance
           && std::abs (a.getRed() - b.getRed()) <= tolerance
           && std::abs (a.getGreen() - b.getGreen()) <= tolerance
           && std::abs (a.getBlue() - b.getBlue()) <= tolerance;
}

//==============================================================================
class MainWindowComponentTest : public ::testing::Test
{
protected:
    MainWindowComponentTest()
    {
        commands.setFirstCommandTarget (&target);
        window = new MainWindowComponent (commands);
    }

    ~MainWindowComponentTest() override
    {
        window = nullptr;
        commands.setFirstCommandTarget (nullptr);
    }

    MainWindowComponent& w() { return *window; }

    /** The window's own children that are showing, in their order. */
    std::vector<juce::Component*> visibleChildren()
    {
        std::vector<juce::Component*> result;

        for (auto* child : w().getChildren())
            if (child->isVisible())
                result.push_back (child);

        return result;
    }

    /** The controls that stay hidden until the keyboard has been heard from. */
    std::vector<juce::Component*> controls()
    {
        return { &w().getUpdateButton(), &w().getProgressDisplay(), &w().getCurrentVersionLabel(), &w().getUpdateVersionLabel() };
    }

    void expectControlsShown()
    {
        for (auto* c : controls())
        {
            EXPECT_EQ (c->getParentComponent(), window.get()) << c->getName();
            EXPECT_TRUE (c->isVisible());
        }
    }

    void expectControlsNotShown()
    {
        for (auto* c : controls())
            EXPECT_EQ (c->getParentComponent(), nullptr);
    }

    juce::String statusText() { return w().getStatusLabel().getText(); }

    const FontSubstitutingLook::ScopedDefault fonts;
    juce::ApplicationCommandManager commands;
    RecordingTarget target;
    MainWindowComponent::Ptr window;
};
} // namespace

//==============================================================================
TEST_F (MainWindowComponentTest, StartsWithTheGenericBackgroundAndTheDeviceNotFoundText)
{
    EXPECT_EQ (w().getWidth(), 400);
    EXPECT_EQ (w().getHeight(), 311);

    auto* generic = dynamic_cast<MainWindowComponent::GenericBackgroundComponent*> (&w().getBackground());
    ASSERT_NE (generic, nullptr);
    EXPECT_EQ (generic->getBounds(), juce::Rectangle<int> (0, 0, 400, 311));
    EXPECT_EQ (w().getIndexOfChildComponent (generic), 0);

    EXPECT_EQ (visibleChildren(), (std::vector<juce::Component*> { generic, &w().getStatusLabel() }));
    EXPECT_EQ (statusText(), deviceNotFoundText);

    EXPECT_EQ (w().getEmergencyLabel().getParentComponent(), window.get());
    EXPECT_FALSE (w().getEmergencyLabel().isVisible());
    expectControlsNotShown();

    EXPECT_EQ (w().getCurrentVersionLabel().getText(), "Current Version: ");
    EXPECT_EQ (w().getUpdateVersionLabel().getText(), "Update Version: 1.25");
    EXPECT_EQ (w().getEmergencyLabel().getText(), "Emergency Update");

    // The logo and the lockup are the background's pictures.
    using namespace EmbeddedResources;
    const auto logo = resourceImage (IvraLogo_png, IvraLogo_pngSize);
    const auto lockup = resourceImage (MoreltaLockup_png, MoreltaLockup_pngSize);
    bool foundLogo = false, foundLockup = false;

    for (auto* child : generic->getChildren())
        if (auto* picture = dynamic_cast<juce::ImageComponent*> (child))
        {
            if (picture->getImage() == logo)
            {
                foundLogo = true;
                EXPECT_EQ (picture->getBounds(), juce::Rectangle<int> (20, 270, 79, 23));
                EXPECT_TRUE (picture->isVisible());
            }
            else if (picture->getImage() == lockup)
            {
                foundLockup = true;
                EXPECT_EQ (picture->getBounds(), juce::Rectangle<int> (20, 10, 358, 77));
                EXPECT_TRUE (picture->isVisible());
            }
        }

    EXPECT_TRUE (foundLogo);
    EXPECT_TRUE (foundLockup);
}

TEST_F (MainWindowComponentTest, LabelsHaveTheirFontsJustificationAndWhiteText)
{
    struct Expected
    {
        juce::Label* label;
        juce::String typeface;
        float height;
        int justification;
    };

    // Justification flags: 8 is top (centred across), 9 top-left.
    const auto defaultSans = juce::Font::getDefaultSansSerifFontName();

    for (const auto& e : { Expected { &w().getStatusLabel(), "Arial", 12.0f, 8 },
                           Expected { &w().getCurrentVersionLabel(), defaultSans, 16.0f, 9 },
                           Expected { &w().getUpdateVersionLabel(), defaultSans, 16.0f, 9 },
                           Expected { &w().getEmergencyLabel(), defaultSans, 14.0f, 9 } })
    {
        SCOPED_TRACE (e.label->getText().toStdString());
        const auto font = e.label->getFont();
        EXPECT_EQ (font.getTypefaceName(), e.typeface);
        EXPECT_FLOAT_EQ (font.getHeight(), e.height);
        EXPECT_EQ (font.getStyleFlags(), juce::Font::plain);
        EXPECT_EQ (e.label->getJustificationType().getFlags(), e.justification);
        EXPECT_EQ (e.label->findColour (juce::Label::textColourId).getARGB(), 0xFFFFFFFFu);
    }
}

TEST_F (MainWindowComponentTest, LaysOutEveryChild)
{
    w().emergencyModeChanged (true);

    EXPECT_EQ (w().getStatusLabel().getBounds(), juce::Rectangle<int> (25, 90, 350, 100));
    EXPECT_EQ (w().getProgressDisplay().getBounds(), juce::Rectangle<int> (25, 190, 360, 32));
    EXPECT_EQ (w().getCurrentVersionLabel().getBounds(), juce::Rectangle<int> (25, 225, 300, 25));
    EXPECT_EQ (w().getUpdateVersionLabel().getBounds(), juce::Rectangle<int> (220, 225, 300, 25));
    EXPECT_EQ (w().getUpdateButton().getBounds(), juce::Rectangle<int> (175, 250, 212, 56));
    EXPECT_EQ (w().getEmergencyLabel().getBounds(), juce::Rectangle<int> (300, 296, 100, 15));
    EXPECT_EQ (w().getBackground().getBounds(), juce::Rectangle<int> (0, 0, 400, 311));
}

TEST_F (MainWindowComponentTest, ShowingTheDeviceInfoRevealsTheControlsForGood)
{
    // Until then the bar stays hidden, and its timer with it.
    EXPECT_FALSE (w().getProgressDisplay().getProgressBar().isVisible());
    w().progressChanged (0.7);
    w().emergencyModeChanged (false);

    expectControlsShown();
    EXPECT_TRUE (w().getProgressDisplay().getProgressBar().isVisible());
    EXPECT_EQ (w().getNumChildComponents(), 7);
    EXPECT_EQ (w().getIndexOfChildComponent (&w().getBackground()), 0);
    EXPECT_EQ (w().getProgressDisplay().progress, 0.0);
    EXPECT_FALSE (w().getEmergencyLabel().isVisible());

    // Whatever comes next, the controls stay and the background stays behind them.
    w().statusChanged (EngineStatus::sendingApp);
    w().firmwareVersionChanged (0.0);
    w().emergencyModeChanged (true);
    w().hardwareModelChanged (HardwareModel::unknown);
    w().errorOccurred (EngineError::deviceUnavailable);
    w().emergencyModeChanged (false);

    expectControlsShown();
    EXPECT_EQ (w().getNumChildComponents(), 7);
    EXPECT_EQ (w().getIndexOfChildComponent (&w().getBackground()), 0);
}

TEST_F (MainWindowComponentTest, NoticeDependsOnEmergencyModeAndTheFirmwareVersion)
{
    struct Case
    {
        const char* name;
        std::function<void (MainWindowComponent&)> steps;
        std::function<void (const juce::String&)> expectNotice;
        bool emergencyLabelShown;
    };

    const auto onlyCloseApps = [] (const juce::String& t)
    { EXPECT_EQ (t, closeOtherAppsText); };
    const auto presets = [] (const juce::String& t)
    { expectPresetNotice (t); };
    const auto backupWithoutModel = [] (const juce::String& t)
    { EXPECT_EQ (t, backupNotice ("")); };

    const Case cases[] = {
        { "no version, emergency off", [] (MainWindowComponent& c)
          { c.emergencyModeChanged (false); },
          onlyCloseApps,
          false },
        { "no version, emergency on", [] (MainWindowComponent& c)
          { c.emergencyModeChanged (true); },
          onlyCloseApps,
          true },
        { "1.159", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.159); },
          presets,
          false },
        { "1.16", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.16); },
          backupWithoutModel,
          false },
        { "1.2", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.2); },
          backupWithoutModel,
          false },
        { "1.159 in emergency mode", [] (MainWindowComponent& c)
          { c.emergencyModeChanged (true); c.firmwareVersionChanged (1.159); },
          onlyCloseApps,
          true },
        { "1.2 in emergency mode", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.2); c.emergencyModeChanged (true); },
          onlyCloseApps,
          true },
        { "1.2, emergency mode on and off again", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.2); c.emergencyModeChanged (true); c.emergencyModeChanged (false); },
          backupWithoutModel,
          false },
        // A version below 1.0 is not shown but is remembered: it is older than 1.16.
        { "0.9, then emergency off", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (0.9); c.emergencyModeChanged (false); },
          presets,
          false },
        { "1.2, then 0.0, then emergency off", [] (MainWindowComponent& c)
          { c.firmwareVersionChanged (1.2); c.firmwareVersionChanged (0.0); c.emergencyModeChanged (false); },
          onlyCloseApps,
          false },
        { "1.2 for the 49", [] (MainWindowComponent& c)
          { c.hardwareModelChanged (HardwareModel::morelta49); c.firmwareVersionChanged (1.2); },
          [] (const juce::String& t)
          { EXPECT_EQ (t, backupNotice ("MORELTA49")); },
          false },
    };

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.name);
        MainWindowComponent::Ptr fresh = new MainWindowComponent (commands);
        fresh->progressChanged (0.4);
        c.steps (*fresh);

        c.expectNotice (fresh->getStatusLabel().getText());
        EXPECT_EQ (fresh->getEmergencyLabel().isVisible(), c.emergencyLabelShown);
        EXPECT_EQ (fresh->getProgressDisplay().progress, 0.0);
        EXPECT_EQ (fresh->getUpdateButton().getParentComponent(), fresh.get());
        EXPECT_EQ (fresh->getIndexOfChildComponent (&fresh->getBackground()), 0);
    }
}

TEST_F (MainWindowComponentTest, FirmwareVersionIsShownWithTwoDecimalsFromOneUp)
{
    struct Case
    {
        double version;
        const char* shown;
    };

    for (const auto& c : { Case { 1.159, "Current Firmware: 1.16" }, Case { 1.16, "Current Firmware: 1.16" }, Case { 1.2, "Current Firmware: 1.20" } })
    {
        SCOPED_TRACE (c.version);
        w().statusChanged (EngineStatus::sendingApp);
        w().firmwareVersionChanged (c.version);
        EXPECT_EQ (w().getCurrentVersionLabel().getText(), c.shown);

        // The notice is written anew over the status.
        EXPECT_TRUE (statusText().startsWith (closeOtherAppsText)) << statusText();
    }

    for (const auto version : { 0.9, 0.0 })
    {
        SCOPED_TRACE (version);
        w().statusChanged (EngineStatus::sendingApp);
        w().firmwareVersionChanged (version);
        EXPECT_EQ (w().getCurrentVersionLabel().getText(), "");
        EXPECT_EQ (statusText(), "Status: Sending app firmware");
    }
}

TEST_F (MainWindowComponentTest, BelowOneTheVersionNeitherShowsTheControlsNorTheNotice)
{
    for (const auto version : { 0.0, 0.9 })
    {
        SCOPED_TRACE (version);
        w().firmwareVersionChanged (version);
        EXPECT_EQ (w().getCurrentVersionLabel().getText(), "");
        EXPECT_EQ (statusText(), deviceNotFoundText);
        expectControlsNotShown();
    }
}

TEST_F (MainWindowComponentTest, EachStatusShowsItsStepAndSetsTheButtonAndProgress)
{
    struct Step
    {
        int status;
        const char* text;
        bool buttonEnabled;
        bool resetsProgress;
    };

    const Step steps[] = {
        { EngineStatus::idle, " ", true, true },
        { EngineStatus::backingUpGlobals, "Backing up global data", false, false },
        { EngineStatus::backingUpPresets, "Backing up preset data", false, false },
        { EngineStatus::startingEmergencyUpdate, "", false, false },
        { EngineStatus::erasingFirmware, "Erasing current firmware", false, false },
        { EngineStatus::sendingApp, "Sending app firmware", false, false },
        { EngineStatus::sendingAssets, "Sending assets firmware", false, false },
        { EngineStatus::waitingForReboot, "Waiting for device to reboot.", false, false },
        { EngineStatus::restoringGlobals, "Restoring Global Data", false, false },
        { EngineStatus::restoringPresets, "Restoring Preset Data", false, false },
        { EngineStatus::completed, "Update complete", true, true },
        { EngineStatus::checkingRestore, "Checking restored data", false, false },
        { 12, "", false, false },
        { -1, "", false, false },
        { 1000, "", false, false },
    };

    w().emergencyModeChanged (false);

    for (const auto& s : steps)
    {
        SCOPED_TRACE ("status " + juce::String (s.status).toStdString());

        // Start from the opposite of what the step should leave.
        w().getUpdateButton().setEnabled (! s.buttonEnabled);
        w().progressChanged (0.42);

        w().statusChanged (s.status);

        EXPECT_EQ (statusText(), juce::String ("Status: ") + s.text);
        EXPECT_EQ (w().getUpdateButton().isEnabled(), s.buttonEnabled);
        EXPECT_EQ (w().getProgressDisplay().progress, s.resetsProgress ? 0.0 : 0.42);
    }
}

TEST_F (MainWindowComponentTest, AWaitThatGoesOnTooLongSaysWhatToDoBelowItsStep)
{
    const juce::String notInUpdateMode = "The keyboard has not restarted into its update mode yet. The update goes on as soon as it does. "
                                         "If nothing happens within a minute, close the updater (the keyboard still runs its old firmware, with your settings and presets), "
                                         "unplug the keyboard, plug it in again and start the update again.";
    const juce::String notBack = "The keyboard has not come back yet. The update goes on as soon as it does. Check its USB cable, or unplug the keyboard and plug it in again.";
    const juce::String severalKeyboards = "Another MORELTA keyboard is connected, and the keyboard being updated cannot be told from it. Disconnect the other keyboard: the update goes on as soon as it is gone.";

    w().emergencyModeChanged (false);
    const auto notice = statusText();

    // Outside an update there is no step to explain.
    w().waitNoticeChanged (WaitNotice::notBack);
    EXPECT_EQ (statusText(), notice);

    w().statusChanged (EngineStatus::erasingFirmware);
    w().waitNoticeChanged (WaitNotice::notInUpdateMode);
    EXPECT_EQ (statusText(), "Status: Erasing current firmware\n\n" + notInUpdateMode);
    w().waitNoticeChanged (WaitNotice::notBack);
    EXPECT_EQ (statusText(), "Status: Erasing current firmware\n\n" + notBack);
    w().waitNoticeChanged (WaitNotice::none);
    EXPECT_EQ (statusText(), "Status: Erasing current firmware");

    // The next step starts without the last one's advice.
    w().statusChanged (EngineStatus::waitingForReboot);
    w().waitNoticeChanged (WaitNotice::notBack);
    EXPECT_EQ (statusText(), "Status: Waiting for device to reboot.\n\n" + notBack);
    w().waitNoticeChanged (WaitNotice::severalKeyboards);
    EXPECT_EQ (statusText(), "Status: Waiting for device to reboot.\n\n" + severalKeyboards);
    w().statusChanged (EngineStatus::restoringGlobals);
    EXPECT_EQ (statusText(), "Status: Restoring Global Data");
}

TEST_F (MainWindowComponentTest, ProgressGoesToTheBarAndAnErrorResetsItAndEnablesTheButton)
{
    w().emergencyModeChanged (false);
    w().statusChanged (EngineStatus::sendingAssets);
    ASSERT_FALSE (w().getUpdateButton().isEnabled());

    w().progressChanged (0.37);
    EXPECT_EQ (w().getProgressDisplay().progress, 0.37);
    EXPECT_EQ (statusText(), "Status: Sending assets firmware");
    EXPECT_FALSE (w().getUpdateButton().isEnabled());

    for (const int error : { (int) EngineError::deviceUnavailable, (int) EngineError::globalsTimeout, (int) EngineError::presetTimeout, (int) EngineError::backupDataError, 42 })
    {
        SCOPED_TRACE (error);
        w().statusChanged (EngineStatus::sendingAssets);
        w().progressChanged (0.6);

        w().errorOccurred (error);

        EXPECT_EQ (w().getProgressDisplay().progress, 0.0);
        EXPECT_TRUE (w().getUpdateButton().isEnabled());
        EXPECT_EQ (statusText(), "Status: Sending assets firmware");
    }
}

TEST_F (MainWindowComponentTest, EachKnownModelReplacesTheBackgroundWithItsPicture)
{
    struct Case
    {
        int model;
        const char* folder;
    };

    for (const auto& c : { Case { HardwareModel::morelta25, "MORELTA25" }, Case { HardwareModel::morelta49, "MORELTA49" }, Case { HardwareModel::morelta61, "MORELTA61" } })
    {
        SCOPED_TRACE (c.folder);
        MainWindowComponent::Ptr fresh = new MainWindowComponent (commands);
        fresh->firmwareVersionChanged (1.2);
        fresh->statusChanged (EngineStatus::idle);
        fresh->progressChanged (0.3);

        juce::Component::SafePointer<juce::Component> old (&fresh->getBackground());
        fresh->hardwareModelChanged (c.model);

        EXPECT_EQ (old.getComponent(), nullptr);
        auto* picture = dynamic_cast<juce::ImageComponent*> (&fresh->getBackground());
        ASSERT_NE (picture, nullptr);
        EXPECT_TRUE (picture->getImage() == modelPicture (c.model));
        EXPECT_EQ (picture->getBounds(), juce::Rectangle<int> (0, 0, 400, 311));
        EXPECT_EQ (picture->getParentComponent(), fresh.get());
        EXPECT_TRUE (picture->isVisible());
        EXPECT_EQ (fresh->getIndexOfChildComponent (picture), 0);
        EXPECT_EQ (fresh->getNumChildComponents(), 7);

        // The notice is written again, now with the model's backup folder.
        EXPECT_EQ (fresh->getStatusLabel().getText(), backupNotice (c.folder));
        EXPECT_EQ (fresh->getProgressDisplay().progress, 0.0);
    }
}

TEST_F (MainWindowComponentTest, AnUnknownModelChangesNothingAndAKnownOneReplacesThePictureAgain)
{
    auto* generic = &w().getBackground();
    w().hardwareModelChanged (HardwareModel::unknown);
    EXPECT_EQ (&w().getBackground(), generic);
    EXPECT_EQ (statusText(), deviceNotFoundText);
    expectControlsNotShown();

    w().firmwareVersionChanged (1.2);
    w().hardwareModelChanged (HardwareModel::morelta61);
    auto* picture61 = &w().getBackground();

    w().statusChanged (EngineStatus::erasingFirmware);
    w().progressChanged (0.5);
    w().hardwareModelChanged (HardwareModel::unknown);
    EXPECT_EQ (&w().getBackground(), picture61);
    EXPECT_TRUE (dynamic_cast<juce::ImageComponent&> (w().getBackground()).getImage() == modelPicture (HardwareModel::morelta61));
    EXPECT_EQ (statusText(), "Status: Erasing current firmware");
    EXPECT_EQ (w().getProgressDisplay().progress, 0.5);

    juce::Component::SafePointer<juce::Component> old (picture61);
    w().hardwareModelChanged (HardwareModel::morelta25);
    EXPECT_EQ (old.getComponent(), nullptr);
    auto* picture25 = dynamic_cast<juce::ImageComponent*> (&w().getBackground());
    ASSERT_NE (picture25, nullptr);
    EXPECT_TRUE (picture25->getImage() == modelPicture (HardwareModel::morelta25));
    EXPECT_EQ (w().getIndexOfChildComponent (picture25), 0);
    EXPECT_EQ (w().getNumChildComponents(), 7);
    EXPECT_EQ (statusText(), backupNotice ("MORELTA25"));
}

TEST_F (MainWindowComponentTest, AnyKeyAsksForEmergencyModeLater)
{
    const Invocation toggle { ApplicationCommandIDs::toggleEmergencyModeCommandID, juce::ApplicationCommandTarget::InvocationInfo::direct };

    for (const auto& key : { juce::KeyPress ('e'), juce::KeyPress (juce::KeyPress::escapeKey), juce::KeyPress ('u', juce::ModifierKeys::commandModifier, 0) })
    {
        SCOPED_TRACE (key.getTextDescription().toStdString());
        target.performed.clear();

        EXPECT_TRUE (w().keyPressed (key, window.get()));
        EXPECT_TRUE (target.performed.empty());

        ASSERT_TRUE (test::pumpUntil ([this]
                                      { return ! target.performed.empty(); }));
        EXPECT_EQ (target.performed, std::vector<Invocation> { toggle });
    }

    // Also when the key reached the window through another component.
    target.performed.clear();
    EXPECT_TRUE (w().keyPressed (juce::KeyPress ('x'), &w().getStatusLabel()));
    ASSERT_TRUE (test::pumpUntil ([this]
                                  { return ! target.performed.empty(); }));
    EXPECT_EQ (target.performed, std::vector<Invocation> { toggle });
}

TEST_F (MainWindowComponentTest, OnlyTheUpdateButtonAsksForTheUpdateLater)
{
    w().emergencyModeChanged (false);
    const Invocation update { ApplicationCommandIDs::updateCommandID, juce::ApplicationCommandTarget::InvocationInfo::direct };
    const Invocation toggle { ApplicationCommandIDs::toggleEmergencyModeCommandID, juce::ApplicationCommandTarget::InvocationInfo::direct };

    w().buttonClicked (&w().getUpdateButton());
    EXPECT_TRUE (target.performed.empty());
    ASSERT_TRUE (test::pumpUntil ([this]
                                  { return ! target.performed.empty(); }));
    EXPECT_EQ (target.performed, std::vector<Invocation> { update });

    // Another button's click asks for nothing: a key pressed after it is the only thing
    // performed, and it would have been queued behind anything the click asked for.
    target.performed.clear();
    juce::TextButton other ("Other");
    w().buttonClicked (&other);
    w().keyPressed (juce::KeyPress ('k'), window.get());
    ASSERT_TRUE (test::pumpUntil ([this]
                                  { return ! target.performed.empty(); }));
    EXPECT_EQ (target.performed, std::vector<Invocation> { toggle });
}

TEST_F (MainWindowComponentTest, ClickingTheUpdateButtonAsksForTheUpdateAfterTheClick)
{
    w().emergencyModeChanged (false);

    // Listens after the window: sees what the window's click handler left behind.
    struct AfterClick final : public juce::Button::Listener
    {
        explicit AfterClick (RecordingTarget& t)
            : target (t)
        {
        }
        void buttonClicked (juce::Button*) override { performedDuringClick.push_back (target.performed.size()); }

        RecordingTarget& target;
        std::vector<size_t> performedDuringClick;
    } afterClick (target);

    w().getUpdateButton().addListener (&afterClick);
    w().getUpdateButton().triggerClick();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! target.performed.empty(); }));
    w().getUpdateButton().removeListener (&afterClick);

    EXPECT_EQ (afterClick.performedDuringClick, std::vector<size_t> { 0 });
    EXPECT_EQ (target.performed, (std::vector<Invocation> { { ApplicationCommandIDs::updateCommandID, juce::ApplicationCommandTarget::InvocationInfo::direct } }));
}

// The window drawn for a display of each scale shows the artwork drawn for it, pixel for
// pixel: at 1x the 1x pictures, at 2x the 2x ones.
TEST_F (MainWindowComponentTest, GenericBackgroundIsBlackAroundTheLogoAndLockupAtEachScale)
{
    for (const auto scale : { 1, 2 })
    {
        SCOPED_TRACE (scale);
        auto& background = w().getBackground();
        const auto image = background.createComponentSnapshot (background.getLocalBounds(), true, (float) scale);
        ASSERT_EQ (image.getBounds(), juce::Rectangle<int> (0, 0, 400, 311) * scale);

        const auto logo = ScaledImage::named ("IvraLogo").forScale ((float) scale);
        const auto lockup = ScaledImage::named ("MoreltaLockup").forScale ((float) scale);
        const auto logoArea = juce::Rectangle<int> (20, 270, 79, 23) * scale, lockupArea = juce::Rectangle<int> (20, 10, 358, 77) * scale;
        const juce::Colour black (0xFF000000);
        int pictureColoured = 0;

        for (int y = 0; y < image.getHeight(); ++y)
            for (int x = 0; x < image.getWidth(); ++x)
            {
                const auto pixel = image.getPixelAt (x, y);
                auto expected = black;

                if (logoArea.contains (x, y))
                    expected = black.overlaidWith (logo.getPixelAt (x - logoArea.getX(), y - logoArea.getY()));
                else if (lockupArea.contains (x, y))
                    expected = black.overlaidWith (lockup.getPixelAt (x - lockupArea.getX(), y - lockupArea.getY()));

                if (expected != black)
                    ++pictureColoured;

                ASSERT_TRUE (isCloseTo (pixel, expected, 2)) << x << "," << y << ": " << pixel.toDisplayString (true) << " expected " << expected.toDisplayString (true);
            }

        // The pictures really are on it.
        EXPECT_GT (pictureColoured, 100 * scale * scale);
    }
}

TEST_F (MainWindowComponentTest, PaintsTheModelsPictureWhereNoControlCoversItAndTheButtonAtEachScale)
{
    w().firmwareVersionChanged (1.2);
    w().hardwareModelChanged (HardwareModel::morelta49);

    for (const auto scale : { 1, 2 })
    {
        SCOPED_TRACE (scale);
        const auto image = w().createComponentSnapshot (w().getLocalBounds(), true, (float) scale);
        const auto picture = ScaledImage::named ("MoreltaFirmwareUpdater_Background_49").forScale ((float) scale);
        const auto button = ScaledImage::named ("MoreltaFirmwareUpdater_UpdateButton_Normal").forScale ((float) scale);
        ASSERT_EQ (image.getBounds(), picture.getBounds());
        const auto buttonArea = juce::Rectangle<int> (175, 250, 212, 56) * scale;

        // Above the notice, left of everything, below the versions left of the button, and
        // the button.
        const juce::Rectangle<int> uncovered[] = { { 0, 0, 400, 90 }, { 0, 0, 25, 311 }, { 0, 250, 175, 61 }, { 386, 90, 14, 135 }, { 175, 250, 212, 56 } };
        int nonBlack = 0;

        for (const auto& area : uncovered)
            for (int y = area.getY() * scale; y < area.getBottom() * scale; ++y)
                for (int x = area.getX() * scale; x < area.getRight() * scale; ++x)
                {
                    auto expected = picture.getPixelAt (x, y);

                    if (buttonArea.contains (x, y))
                        expected = expected.overlaidWith (button.getPixelAt (x - buttonArea.getX(), y - buttonArea.getY()));

                    nonBlack += expected.getBrightness() > 0.1f ? 1 : 0;
                    ASSERT_TRUE (isCloseTo (image.getPixelAt (x, y), expected, 1)) << x << "," << y << ": " << image.getPixelAt (x, y).toDisplayString (true) << " expected " << expected.toDisplayString (true);
                }

        EXPECT_GT (nonBlack, 100 * scale * scale);
    }

    // The other models' pictures differ there, so the comparison tells them apart.
    const auto picture = modelPicture (HardwareModel::morelta49);

    for (const auto other : { HardwareModel::morelta25, HardwareModel::morelta61 })
    {
        const auto otherPicture = modelPicture (other);
        int differences = 0;

        for (int y = 0; y < 90; ++y)
            for (int x = 0; x < 400; ++x)
                differences += otherPicture.getPixelAt (x, y) != picture.getPixelAt (x, y) ? 1 : 0;

        EXPECT_GT (differences, 0);
    }
}
