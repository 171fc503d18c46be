#include "engine/SendSysexMessagesWithTimer.h"

#include "engine/ThreadPause.h"
#include "platform/WorkerPriority.h"

ApplicationEngine::SendSysexMessagesWithTimer::SendSysexMessagesWithTimer (MidiManager::Ptr manager,
                                                                           juce::String port,
                                                                           std::vector<EngineState::Message> toSend,
                                                                           int pause,
                                                                           Callbacks c)
    : juce::Thread ({})
    , midiManager (std::move (manager))
    , portName (std::move (port))
    , messages (std::move (toSend))
    , pauseMs (pause)
    , callbacks (std::move (c))
{
    startThread();
}

ApplicationEngine::SendSysexMessagesWithTimer::~SendSysexMessagesWithTimer()
{
    // Never killed: the thread may hold the port manager's lock in the middle of a send.
    signalThreadShouldExit();
    notify();
    waitForThreadToExit (-1);
    cancelPendingUpdate();
}

void ApplicationEngine::SendSysexMessagesWithTimer::run()
{
    // Above normal, so that the pauses hold.
    WorkerPriority::applyToCurrentThread (WorkerPriority::Role::restoreSender);

    for (const auto& message : messages)
    {
        if (threadShouldExit())
            return;

        // With no open output, or one that refused the message, the keyboard lacks it:
        // the restore cannot go on.
        const auto midiMessage = DeviceMessages::toMidiMessage (message);

        if (! midiManager->sendMessage (portName, midiMessage))
        {
            failed = true;
            triggerAsyncUpdate();
            return;
        }

        ++sent;
        triggerAsyncUpdate();
        ThreadPause::wait (*this, pauseMs);
    }

    triggerAsyncUpdate();
}

void ApplicationEngine::SendSysexMessagesWithTimer::handleAsyncUpdate()
{
    if (reported)
        return;

    // The owner may drop this worker from inside a callback.
    const Ptr keepAlive (this);
    const auto count = sent.load();

    if (failed)
    {
        reported = true;
        callbacks.failed();
        return;
    }

    callbacks.progress ((double) count / (double) juce::jmax ((size_t) 1, messages.size()));

    if (count == messages.size() && getReferenceCount() > 1 && ! reported.exchange (true))
        callbacks.finished();
}
