#pragma once

#include "TestHelpers.h"
#include "app/MoreltaFirmwareUpdaterApplication.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

namespace test
{
/** The application with its alert boxes and its quit recorded instead of shown. */
class TestApplication final : public MoreltaFirmwareUpdaterApplication
{
public:
    explicit TestApplication (const juce::File& commonData, MidiPortSystem::Ptr midiPorts = new VirtualMidiPortSystem())
        : MoreltaFirmwareUpdaterApplication (Environment { midiPorts, commonData })
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

    std::vector<juce::String> questions, warnings;
    std::function<bool (const juce::String&)> answer = [] (const juce::String&)
    { return true; };
    int quits = 0;
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

    void quitApplication() override { ++quits; }

private:
    const juce::File userData;
};

} // namespace test
