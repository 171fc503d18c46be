// Measures the firmware sender's pacing: the embedded app image (1591 blocks) sent to
// the simulated keyboard in its update mode, timed from the keyboard's own trace. Prints
// the gaps from one block's write to the next and the whole transfer against the sum of
// its 1 ms pauses; exits non-zero if a pause was cut short.
//
// On the virtual ports, with the keyboard in this process; in the Windows build also
// through WinMM and our test driver to the keyboard in a process of its own
// (morelta-sim-keyboard.exe beside this program), in the same run.

#include "engine/FirmwareSysexSender.h"
#include "sim/KeyboardProcess.h"
#include "sim/SimulatedKeyboard.h"

#if JUCE_WINDOWS
#include "midi/WinMidiPortSystem.h"
#endif

#include <juce_gui_basics/juce_gui_basics.h>

#include <iostream>

namespace
{
struct CompletionListener final : public FirmwareSysexSender::Listener
{
    void progress (FirmwareSysexSender*, double) override {}
    void status (FirmwareSysexSender*, FirmwareSysexSender::Status news) override { completed = completed || news == FirmwareSysexSender::Status::completed; }
    std::atomic<bool> completed { false };
};

/** Sends the app image to the keyboard's first port through these ports. */
void sendAppImage (MidiPortSystem::Ptr ports)
{
    MidiManager::Ptr manager = new MidiManager (ports);
    const auto start = juce::Time::getMillisecondCounterHiRes();

    // A port of another process is listed only once its link is up.
    while (! manager->isMidiOutputOpen ("MORELTA49") && juce::Time::getMillisecondCounterHiRes() - start < 10000)
    {
        manager->openMidiOutput ("MORELTA49");
        juce::MessageManager::getInstance()->runDispatchLoopUntil (20);
    }

    CompletionListener listener;
    const auto images = FirmwareUpdate::makeImages ("MORELTA49");
    FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (images[FirmwareUpdate::app], manager, &listener);
    const auto started = juce::Time::getMillisecondCounterHiRes();
    sender->start();

    while (! listener.completed && juce::Time::getMillisecondCounterHiRes() - started < 60000)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
}

/** Prints the pacing the trace shows; false if a pause was cut short or blocks are missing. */
bool report (const char* path, const juce::File& trace)
{
    std::vector<double> writeTimesMs;

    for (auto& line : TrafficTrace::read (trace))
        if (line.toKeyboard)
            writeTimesMs.push_back ((double) line.microseconds / 1000.0);

    if (writeTimesMs.size() != 1591)
    {
        std::cerr << path << ": the keyboard saw " << writeTimesMs.size() << " writes instead of 1591\n";
        return false;
    }

    std::vector<double> gaps;

    for (size_t i = 1; i < writeTimesMs.size(); ++i)
        gaps.push_back (writeTimesMs[i] - writeTimesMs[i - 1]);

    std::sort (gaps.begin(), gaps.end());
    const auto total = writeTimesMs.back() - writeTimesMs.front();
    const auto pauses = 1.0 * (double) gaps.size();

    std::cout << path << ": app image, " << writeTimesMs.size() << " blocks in " << total << " ms, "
              << total / pauses << " x the sum of its pauses (" << pauses << " ms; writes take no time on the simulated link); "
              << "from one write to the next: min " << gaps.front() << " ms, median " << gaps[gaps.size() / 2]
              << " ms, 99th percentile " << gaps[gaps.size() * 99 / 100] << " ms, max " << gaps.back() << " ms\n";

    return gaps.front() >= 1.0;
}
} // namespace

int main()
{
    const juce::ScopedJuceInitialiser_GUI juceInitialiser;
    bool paced = true;

    {
        const juce::TemporaryFile trace (".jsonl");
        VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
        SimulatedKeyboard::Settings settings;
        settings.startsInUpdateMode = true;
        settings.traceFile = trace.getFile();
        auto keyboard = std::make_unique<SimulatedKeyboard> (ports, settings);
        sendAppImage (ports);
        keyboard.reset(); // closes the trace
        paced = report ("virtual ports", trace.getFile()) && paced;
    }

#if JUCE_WINDOWS
    {
        const juce::TemporaryFile trace (".jsonl");
        KeyboardProcess keyboard ({ "--emergency", "--trace", trace.getFile().getFullPathName() });

        if (! keyboard.isRunning())
        {
            std::cerr << "WinMM: the keyboard process did not start: " << keyboard.getOutput() << "\n";
            return 1;
        }

        keyboard.exportLinkPort();
        sendAppImage (new WinMidiPortSystem());
        keyboard.quit(); // closes the trace
        paced = report ("WinMM and our test driver", trace.getFile()) && paced;
    }
#endif

    return paced ? 0 : 2;
}
