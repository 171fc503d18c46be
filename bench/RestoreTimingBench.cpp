// Measures the preset restore's pacing against the simulated keyboard, within a whole
// update: the restore of 12,352 messages against the sum of its 3 ms pauses, and the
// shortest gap between two messages. Prints one line of figures; exits non-zero if a
// pause was cut short.

#include "BenchSupport.h"
#include "engine/ApplicationEngine.h"
#include "sim/SimulatedKeyboard.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
/** Switches the recording on when the preset restore starts: its worker is created by the
    step message that follows this notification.
*/
struct RestoreWatch final : public ApplicationEngine::Listener
{
    void statusChanged (int s) override
    {
        recording = s == EngineStatus::restoringPresets;
        completed = completed || s == EngineStatus::completed;
    }

    void progressChanged (double) override {}
    void errorOccurred (int) override { failed = true; }
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

    std::atomic<bool> recording { false };
    bool completed = false, failed = false;
};
} // namespace

int main()
{
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const juce::TemporaryFile userData;

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedKeyboard keyboard (ports, SimulatedKeyboard::Settings {});
    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    engine->setUserDataFolder (userData.getFile());
    RestoreWatch watch;
    engine->addListener (&watch);

    std::vector<double> sendTimesMs;
    std::mutex timesMutex;
    ports->setTrafficObserver ([&] (const VirtualMidiPortSystem::TrafficRecord& r)
                               {
                                   if (r.toDevice && watch.recording)
                                   {
                                       const std::lock_guard<std::mutex> guard (timesMutex);
                                       sendTimesMs.push_back ((double) r.microseconds / 1000.0);
                                   } });

    if (! bench::runUntil ([&]
                           { return engine->getState().version > 0.0; },
                           10.0))
        return 1;

    engine->beginUpdate();

    if (! bench::runUntil ([&]
                           { return watch.completed || watch.failed; },
                           300.0)
        || watch.failed)
    {
        std::cerr << "the update did not complete\n";
        return 1;
    }

    ports->setTrafficObserver (nullptr);
    const std::lock_guard<std::mutex> guard (timesMutex);
    const auto count = sendTimesMs.size();

    if (count != 12352)
    {
        std::cerr << "the restore sent " << count << " messages instead of 12352\n";
        return 1;
    }

    std::vector<double> gaps;

    for (size_t i = 1; i < count; ++i)
        gaps.push_back (sendTimesMs[i] - sendTimesMs[i - 1]);

    std::sort (gaps.begin(), gaps.end());
    const auto total = sendTimesMs.back() - sendTimesMs.front() + 3.0; // the pause after the last
    const auto pauses = 3.0 * (double) count;

    std::cout << "restore of " << count << " messages: " << total / 1000.0 << " s, "
              << total / pauses << " x the sum of its pauses (" << pauses / 1000.0 << " s); "
              << "gap between messages: min " << gaps.front() << " ms, median " << gaps[gaps.size() / 2]
              << " ms, 99th percentile " << gaps[gaps.size() * 99 / 100] << " ms, max " << gaps.back() << " ms\n";

    engine = nullptr;
    return gaps.front() >= 3.0 ? 0 : 2;
}
