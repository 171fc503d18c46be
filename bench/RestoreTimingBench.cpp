// Measures the preset restore's pacing against the simulated keyboard: the whole
// restore of 12,352 messages against the sum of its 3 ms pauses, and the shortest gap
// between two messages. Prints one line of figures; exits non-zero if a pause was cut.

#include "engine/ApplicationEngine.h"
#include "sim/SimulatedKeyboard.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
bool runUntil (const std::function<bool()>& condition, int timeoutMs)
{
    const auto end = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition() && juce::Time::getMillisecondCounter() < end)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);

    return condition();
}
} // namespace

int main()
{
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const juce::TemporaryFile userData;

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedKeyboard::Settings settings;
    settings.keys = 49;
    SimulatedKeyboard keyboard (ports, settings);

    MidiManager::Ptr manager = new MidiManager (ports);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    engine->setUserDataFolder (userData.getFile());
    manager->openMidiInput ("MORELTA49");
    manager->openMidiInput ("MIDIIN3 (MORELTA49)");
    manager->openMidiOutput ("MORELTA49");

    auto& state = engine->getState();
    state.port1Name = "MORELTA49";
    state.model = HardwareModel::morelta49;
    state.version = 1.16;

    // A real backup first, so that the restore sends what the keyboard sent.
    engine->reset (false);
    state.status = EngineStatus::backingUpGlobals;
    engine->postStepMessage();

    if (! runUntil ([&]
                    { return state.status == EngineStatus::erasingFirmware; },
                    60000))
    {
        std::cerr << "the backup did not finish\n";
        return 1;
    }

    std::vector<double> sendTimesMs;
    std::mutex timesMutex;
    ports->setTrafficObserver ([&] (const VirtualMidiPortSystem::TrafficRecord& r)
                               {
                                   if (r.toDevice)
                                   {
                                       const std::lock_guard<std::mutex> guard (timesMutex);
                                       sendTimesMs.push_back ((double) r.microseconds / 1000.0);
                                   } });

    engine->setStatus (EngineStatus::restoringPresets, 0.0);
    engine->postStepMessage();

    if (! runUntil ([&]
                    { return state.status == EngineStatus::completed || ! engine->isBusy(); },
                    120000))
    {
        std::cerr << "the restore did not finish\n";
        return 1;
    }

    ports->setTrafficObserver (nullptr);
    const std::lock_guard<std::mutex> guard (timesMutex);
    const auto count = sendTimesMs.size();

    if (count != 12352)
    {
        std::cerr << "sent " << count << " messages instead of 12352\n";
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
