// The sending threads as Windows schedules them: their priorities and their pauses.

#include "../TestHelpers.h"
#include "engine/FirmwareSysexSender.h"
#include "engine/SendSysexMessagesWithTimer.h"
#include "engine/ThreadPause.h"
#include "platform/HighResolutionWaitableTimer.h"
#include "sim/VirtualMidiPortSystem.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace
{
struct CompletionLog final : public FirmwareSysexSender::Listener
{
    void progress (FirmwareSysexSender*, double) override {}
    void status (FirmwareSysexSender*, FirmwareSysexSender::Status news) override { completed = completed || news == FirmwareSysexSender::Status::completed; }
    std::atomic<bool> completed { false };
};
} // namespace

TEST (WindowsThreads, TheFirmwareSenderSendsAtHighestAndTheRestoreAboveNormal)
{
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);

    // The keyboard's side runs on the sending thread: it sees that thread's priority.
    test::SharedList<int> priorities;
    ports->addOutputPort ("MORELTA49", [&] (const juce::MidiMessage&)
                          { priorities.add (GetThreadPriority (GetCurrentThread())); });
    manager->openMidiOutput ("MORELTA49");

    {
        CompletionLog log;
        std::vector<juce::uint8> image (3 * FirmwareUpdate::blockSize, 0x10);
        FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (new FirmwareUpdate (image, "MORELTA49", "test"), manager, &log);
        sender->start();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return log.completed.load(); }));
    }

    EXPECT_EQ (priorities.get(), std::vector<int> (3, THREAD_PRIORITY_HIGHEST));
    priorities.clear();

    {
        const std::vector<EngineState::Message> messages (5, { 0xF0, 0x47, 0x00, 0x2E, 0xF7 });
        ApplicationEngine::SendSysexMessagesWithTimer::Ptr restore = new ApplicationEngine::SendSysexMessagesWithTimer (manager, {}, messages, 2, { [] (double) {}, [] {}, [] {} });
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return priorities.size() == 5; }));
    }

    EXPECT_EQ (priorities.get(), std::vector<int> (5, THREAD_PRIORITY_ABOVE_NORMAL));
}

TEST (WindowsThreads, PausesOnTheHighResolutionTimerAreNeverShorterThanAsked)
{
    ASSERT_TRUE (HighResolutionWaitableTimer().isValid()) << "the pauses would not take the timer";

    struct Pauser final : public juce::Thread
    {
        Pauser()
            : juce::Thread ("pauser")
        {
        }

        void run() override
        {
            for (int ms = 1; ms <= 3; ++ms)
            {
                for (int i = 0; i < 100; ++i)
                {
                    const auto before = juce::Time::getMillisecondCounterHiRes();
                    ThreadPause::wait (*this, ms);
                    shortest[ms] = juce::jmin (shortest[ms], juce::Time::getMillisecondCounterHiRes() - before);
                }
            }
        }

        double shortest[4] = { 0.0, 1.0e9, 1.0e9, 1.0e9 };
    } pauser;

    pauser.startThread();
    ASSERT_TRUE (pauser.waitForThreadToExit (20000));

    for (int ms = 1; ms <= 3; ++ms)
        EXPECT_GE (pauser.shortest[ms], (double) ms) << ms << " ms";
}
