// Measures the firmware sender's pacing: the embedded app image (1591 blocks) sent to
// the simulated keyboard in its update mode, timed from the keyboard's own trace. Prints
// the gaps from one block's write to the next and the whole transfer against the sum of
// its 1 ms pauses; exits non-zero if a pause was cut short.

#include "engine/FirmwareSysexSender.h"
#include "sim/SimulatedKeyboard.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
struct CompletionListener final : public FirmwareSysexSender::Listener
{
    void progress (FirmwareSysexSender*, double) override {}
    void status (FirmwareSysexSender*, const juce::String& text) override { completed = completed || text == "Completed"; }
    std::atomic<bool> completed { false };
};
} // namespace

int main()
{
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    const juce::TemporaryFile trace (".jsonl");

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedKeyboard::Settings settings;
    settings.startsInUpdateMode = true;
    settings.traceFile = trace.getFile();
    auto keyboard = std::make_unique<SimulatedKeyboard> (ports, settings);

    MidiManager::Ptr manager = new MidiManager (ports);
    manager->openMidiOutput ("MORELTA49");

    CompletionListener listener;
    const auto images = FirmwareUpdate::makeImages ("MORELTA49", true, 0x2E);
    FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (images[0], manager, &listener);
    const auto started = juce::Time::getMillisecondCounterHiRes();
    sender->start();

    while (! listener.completed && juce::Time::getMillisecondCounterHiRes() - started < 60000)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);

    sender = nullptr;
    keyboard.reset(); // closes the trace

    std::vector<double> writeTimesMs;

    for (auto& line : TrafficTrace::read (trace.getFile()))
        if (line.toKeyboard)
            writeTimesMs.push_back ((double) line.microseconds / 1000.0);

    if (writeTimesMs.size() != 1591)
    {
        std::cerr << "the keyboard saw " << writeTimesMs.size() << " writes instead of 1591\n";
        return 1;
    }

    std::vector<double> gaps;

    for (size_t i = 1; i < writeTimesMs.size(); ++i)
        gaps.push_back (writeTimesMs[i] - writeTimesMs[i - 1]);

    std::sort (gaps.begin(), gaps.end());
    const auto total = writeTimesMs.back() - writeTimesMs.front();
    const auto pauses = 1.0 * (double) gaps.size();

    std::cout << "app image, " << writeTimesMs.size() << " blocks in " << total << " ms, "
              << total / pauses << " x the sum of its pauses (" << pauses << " ms; writes take no time on the virtual link); "
              << "from one write to the next: min " << gaps.front() << " ms, median " << gaps[gaps.size() / 2]
              << " ms, 99th percentile " << gaps[gaps.size() * 99 / 100] << " ms, max " << gaps.back() << " ms\n";

    return gaps.front() >= 1.0 ? 0 : 2;
}
