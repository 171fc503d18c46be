#include "engine/SendSysexMessagesWithTimer.h"

#include <thread>

ApplicationEngine::SendSysexMessagesWithTimer::SendSysexMessagesWithTimer (MidiManager::Ptr manager,
                                                                           std::vector<EngineState::Message> toSend,
                                                                           int pause,
                                                                           ApplicationEngine* owner)
    : juce::Thread ({})
    , midiManager (std::move (manager))
    , messages (std::move (toSend))
    , pauseMs (pause)
    , engine (owner)
{
    // Above normal, so that the pauses hold; where the system refuses that, at the
    // normal priority rather than not at all.
    if (! startThread (Priority::high))
        startThread();
}

ApplicationEngine::SendSysexMessagesWithTimer::~SendSysexMessagesWithTimer()
{
    stopSending();
}

void ApplicationEngine::SendSysexMessagesWithTimer::stopSending()
{
    // Never killed: the thread may hold the port manager's lock in the middle of a send.
    signalThreadShouldExit();
    notify();
    waitForThreadToExit (-1);
}

void ApplicationEngine::SendSysexMessagesWithTimer::run()
{
    const auto count = messages.size();

    for (size_t k = 0; k < count; ++k)
    {
        if (threadShouldExit())
            return;

        if (midiManager->getNumOpenOutputs() == 0)
        {
            engine->reportError (EngineError::deviceUnavailable);
            return;
        }

        midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (messages[k]));
        engine->setStatus (engine->getState().status, (double) (k + 1) / (double) count);
        pause();
    }

    if (! threadShouldExit())
        engine->stepCompleted (engine->getState().status);
}

void ApplicationEngine::SendSysexMessagesWithTimer::pause()
{
    // The keyboard needs the whole pause, but every bit beyond it adds up over twelve
    // thousand messages: wait on the event (so that a stop ends the pause) until about a
    // millisecond is left, then sleep finely and yield through the last tenth of it.
    const auto end = juce::Time::getMillisecondCounterHiRes() + pauseMs;

    for (auto left = (double) pauseMs; left > 0.0 && ! threadShouldExit(); left = end - juce::Time::getMillisecondCounterHiRes())
    {
        if (left > 1.5)
            wait ((int) (left - 1.0));
        else if (left > 0.2)
            std::this_thread::sleep_for (std::chrono::microseconds ((juce::int64) ((left - 0.1) * 1000.0)));
        else
            std::this_thread::yield();
    }
}
