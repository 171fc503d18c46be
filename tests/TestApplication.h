#pragma once

#include "TestHelpers.h"
#include "app/MoreltaFirmwareUpdaterApplication.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

namespace test
{
/** The desktop session as the application uses it: what it asked, in order, each
    change once ("blocked: <reason>", "allowed", "running", "failed", "none").
*/
class RecordingDesktopSession final : public DesktopSession
{
public:
    void attach (juce::Component* w) override { window = w; }

    bool setSessionEndBlocked (bool blocked, const juce::String& reason) override
    {
        note (blocked ? "blocked: " + reason : juce::String ("allowed"));
        return true;
    }

    bool showProgress (Progress state, double value) override
    {
        note (state == Progress::running ? "running" : (state == Progress::failed ? "failed" : "none"));
        lastProgress = value;
        return true;
    }

    juce::Component* window = nullptr;
    juce::StringArray asked;
    double lastProgress = 0.0;

private:
    void note (const juce::String& what)
    {
        if (asked.isEmpty() || asked[asked.size() - 1] != what)
            asked.add (what);
    }
};

/** The application with its alert boxes and its quit recorded instead of shown. */
class TestApplication final : public MoreltaFirmwareUpdaterApplication
{
public:
    explicit TestApplication (const juce::File& commonData, MidiPortSystem::Ptr midiPorts = new VirtualMidiPortSystem())
        : MoreltaFirmwareUpdaterApplication (Environment { midiPorts, commonData, nullptr, new RecordingDesktopSession() })
        , ports (dynamic_cast<VirtualMidiPortSystem*> (midiPorts.get()))
        , userData (commonData.getChildFile ("user data"))
    {
    }

    /** The virtual ports the application talks to; null on the machine's own. */
    const VirtualMidiPortSystem::Ptr ports;

    /** Backups and update logs go beside the companion's folder, never to the user's. */
    void initialise (const juce::String& commandLine) override
    {
        MoreltaFirmwareUpdaterApplication::initialise (commandLine);
        getEngine()->setUserDataFolder (userData);
    }

    RecordingDesktopSession& desktop() { return *dynamic_cast<RecordingDesktopSession*> (getDesktopSession()); }

    std::vector<juce::String> questions, warnings;
    std::function<bool (const juce::String&)> answer = [] (const juce::String&)
    { return true; };
    int quits = 0, tryAgainOffers = 0, putBackOffers = 0;

    // Whether "Try again" is pressed in the alert that offers it; OK otherwise.
    std::function<bool()> pressTryAgain = []
    { return false; };

    // Whether "Put my settings back" is pressed in the alert that offers it; OK otherwise.
    std::function<bool()> pressPutBack = []
    { return false; };

    /** "Try again" in the alert that offered it last, pressed now. */
    void pressTryAgainNow() { tryAgain(); }
    std::function<void()> onWarning;

protected:
    bool askOkCancel (const juce::String& text) override
    {
        EXPECT_TRUE (test::isMessageThread());
        questions.push_back (text);
        return answer (text);
    }

    void showWarning (const juce::String& text) override
    {
        EXPECT_TRUE (test::isMessageThread());
        warnings.push_back (text);

        if (onWarning != nullptr)
            onWarning();
    }

    void offerTryAgain (const juce::String& text) override
    {
        ++tryAgainOffers;
        showWarning (text);

        // Pressed once the alert is up, as a user does.
        if (pressTryAgain())
            juce::MessageManager::callAsync ([this]
                                             { tryAgain(); });
    }

    void offerPutBack (const juce::String& text) override
    {
        ++putBackOffers;
        showWarning (text);

        if (pressPutBack())
            juce::MessageManager::callAsync ([this]
                                             { getEngine()->putBack(); });
    }

    void quitApplication() override { ++quits; }

private:
    const juce::File userData;
};

} // namespace test
