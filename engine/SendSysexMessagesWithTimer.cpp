#include "engine/SendSysexMessagesWithTimer.h"

#include "engine/ThreadPause.h"
#include "platform/WorkerPriority.h"

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
    // Above normal, so that the pauses hold.
    WorkerPriority::applyToCurrentThread (WorkerPriority::Role::restoreSender);
    const auto count = messages.size();

    for (size_t k = 0; k < count; ++k)
    {
        if (threadShouldExit())
            return;

        // With no open output, or one that refused the message, the keyboard lacks it:
        // the restore cannot go on.
        if (! midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (messages[k])))
        {
            engine->reportError (EngineError::deviceUnavailable);
            return;
        }

        engine->setStatus (engine->getState().status, (double) (k + 1) / (double) count);
        ThreadPause::wait (*this, pauseMs);
    }

    if (! threadShouldExit())
        engine->stepCompleted (engine->getState().status);
}
