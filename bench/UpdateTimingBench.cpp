// Times one whole normal update against the simulated keyboard (timing profile "fast",
// the default, or "realistic" as the first argument), step by step, against the floor the
// pauses of the protocol set (9,500 firmware blocks x 1 ms, 14 global requests x 1 ms
// for the backup and again for the check of the restore, 14 restored globals x 2 ms,
// 12,352 restored preset messages x 3 ms, and the quiet time after each of the 33 reads
// of the backup and of the check) plus the keyboard's own restart delays; and reports
// how long the message thread kept its callers waiting, and the peak resident memory.

#include "BenchSupport.h"
#include "engine/ApplicationEngine.h"
#include "engine/ReplyCollector.h"
#include "sim/MessageThreadStallMeter.h"
#include "sim/SimulatedKeyboard.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>
#include <sys/resource.h>

namespace
{
struct StepTimes final : public ApplicationEngine::Listener
{
    void statusChanged (int s) override
    {
        if (entered.count (s) == 0)
            entered[s] = juce::Time::getMillisecondCounterHiRes();
    }

    void progressChanged (double) override {}
    void errorOccurred (int e) override { error = e; }
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    std::map<int, double> entered;
    int error = -1;
};
} // namespace

int main (int argc, char* argv[])
{
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const juce::TemporaryFile userData;

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedKeyboard::Settings settings;
    const auto profile = SimulatedKeyboard::Timing::named (argc > 1 ? argv[1] : "fast");

    if (! profile.has_value())
    {
        std::cerr << "usage: morelta_bench_update [fast|realistic]\n";
        return 2;
    }

    settings.timing = *profile;
    auto keyboard = std::make_unique<SimulatedKeyboard> (ports, settings);
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    engine->setUserDataFolder (userData.getFile());
    StepTimes times;
    engine->addListener (&times);

    if (! bench::runUntil ([&]
                           { return engine->getState().version > 0.0; },
                           10.0))
        return 1;

    times.entered.clear();
    const MessageThreadStallMeter stallMeter;
    const auto started = juce::Time::getMillisecondCounterHiRes();
    engine->beginUpdate();

    if (! bench::runUntil ([&]
                           { return times.error >= 0 || times.entered.count (EngineStatus::completed) > 0; },
                           600.0)
        || times.error >= 0)
    {
        std::cerr << "the update did not complete\n";
        return 1;
    }

    const auto total = times.entered[EngineStatus::completed] - started;
    const auto reads = 1 + DeviceMessages::numPresets;
    const auto floor = 9500 * 1.0 + 2 * 14 * 1.0 + 14 * 2.0 + 12352 * 3.0 + 2 * reads * ReplyCollector::quietMs + settings.timing.updateModeEntryMs + settings.timing.rebootMs;

    std::cout << "whole update: " << juce::String (total / 1000.0, 2) << " s against a floor of " << juce::String (floor / 1000.0, 2)
              << " s: " << juce::String (total / floor, 4) << " x\n";

    const int steps[] = { 1, 2, 4, 5, 6, 7, 8, 9, 11, 10 };

    for (size_t i = 0; i + 1 < std::size (steps); ++i)
        std::cout << "  " << EngineStatus::nameOf (steps[i]) << ": " << juce::String ((times.entered[steps[i + 1]] - times.entered[steps[i]]) / 1000.0, 3) << " s\n";

    std::cout << "the message thread's waits: " << MessageThreadStallMeter::describe (stallMeter.getFigures()) << "\n";

    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    std::cout << "peak resident memory: " << juce::String (usage.ru_maxrss / 1024.0, 1) << " MB\n";

    engine = nullptr;
    return 0;
}
