#include "demo/DemoSession.h"

#include <iostream>

// The updater on the virtual MIDI ports with a simulated keyboard, for trying it without
// one. Its options: see DemoSession::usage.
class MoreltaFirmwareUpdaterDemo final : public MoreltaFirmwareUpdaterApplication
{
public:
    MoreltaFirmwareUpdaterDemo()
        : MoreltaFirmwareUpdaterDemo (new VirtualMidiPortSystem(), new SimulatedPrivateDriver())
    {
    }

    void initialise (const juce::String& commandLine) override
    {
        juce::String problem;
        auto options = DemoSession::parse (getCommandLineParameterArray(), problem);

        if (! options.has_value())
        {
            std::cerr << problem << "\n"
                      << DemoSession::usage;
            setApplicationReturnValue (2);
            quit();
            return;
        }

        MoreltaFirmwareUpdaterApplication::initialise (commandLine);
        session = std::make_unique<DemoSession> (*this, ports, privateDriver, std::move (*options));
    }

    void shutdown() override
    {
        session.reset();
        MoreltaFirmwareUpdaterApplication::shutdown();
    }

protected:
    bool askOkCancel (const juce::String& text) override
    {
        if (session == nullptr || ! session->isOnAutopilot())
            return MoreltaFirmwareUpdaterApplication::askOkCancel (text);

        std::cout << "asked, and answered OK: \"" << text.replace ("\n", " / ") << "\"" << std::endl;
        return true;
    }

public:
    // The demo may run beside an updater, or another demo.
    bool moreThanOneInstanceAllowed() override { return true; }

private:
    MoreltaFirmwareUpdaterDemo (VirtualMidiPortSystem::Ptr virtualPorts, SimulatedPrivateDriver::Ptr driver)
        : MoreltaFirmwareUpdaterApplication (Environment {
            virtualPorts,
            juce::File::getSpecialLocation (juce::File::commonApplicationDataDirectory),
            driver })
        , ports (virtualPorts)
        , privateDriver (driver)
    {
    }

    VirtualMidiPortSystem::Ptr ports;
    SimulatedPrivateDriver::Ptr privateDriver;
    std::unique_ptr<DemoSession> session;
};

START_JUCE_APPLICATION (MoreltaFirmwareUpdaterDemo)
