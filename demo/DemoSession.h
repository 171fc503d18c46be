#pragma once

#include "app/MoreltaFirmwareUpdaterApplication.h"
#include "sim/SimulatedKeyboard.h"

/** What the demo adds to the updater: a simulated keyboard plugged in a moment after the
    start, and a line on the console for each step. On autopilot it also does what the user
    would: waits for the keyboard to show, presses "UPDATE FIRMWARE" (after switching
    emergency mode on, for a keyboard started in its update mode), saves a picture of the
    window at each step, checks the keyboard once the update ends and quits with 0 only if
    all went right.
*/
class DemoSession final : public ApplicationEngine::Listener,
                          private juce::Timer
{
public:
    struct Options
    {
        SimulatedKeyboard::Settings keyboard;
        int plugInAfterMs = 1500;
        bool autopilot = false;
        juce::File screenshotFolder;
        int timeoutSeconds = 900;
    };

    /** Reads the demo's command line; on a mistake returns nothing and says why. */
    static std::optional<Options> parse (const juce::StringArray& args, juce::String& problem);
    static const char* const usage;

    DemoSession (MoreltaFirmwareUpdaterApplication& app, VirtualMidiPortSystem::Ptr ports, SimulatedPrivateDriver::Ptr privateDriver, Options options);
    ~DemoSession() override;

    bool isOnAutopilot() const noexcept { return options.autopilot; }

    void statusChanged (int status) override;
    void progressChanged (double value) override { progress = value; }
    void errorOccurred (int error) override;
    void firmwareVersionChanged (double version) override;
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

private:
    enum class Stage
    {
        waitingForKeyboard,
        switchingEmergencyMode,
        updating,
        checking,
        done
    };

    void timerCallback() override;
    void say (const juce::String& line) const;
    void saveScreenshot (const juce::String& name);
    void finish (int exitCode, const juce::String& line);

    MoreltaFirmwareUpdaterApplication& app;
    VirtualMidiPortSystem::Ptr ports;
    SimulatedPrivateDriver::Ptr privateDriver;
    const Options options;
    std::unique_ptr<SimulatedKeyboard> keyboard;
    const double startMs = juce::Time::getMillisecondCounterHiRes();
    double pluggedInMs = 0.0;
    Stage stage = Stage::waitingForKeyboard;
    double progress = 0.0;
    int lastStatus = -1, screenshots = 0;
    juce::String backupFolder;

    JUCE_DECLARE_WEAK_REFERENCEABLE (DemoSession)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DemoSession)
};
