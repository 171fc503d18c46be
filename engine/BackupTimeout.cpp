#include "engine/BackupTimeout.h"

BackupTimeout::BackupTimeout (std::function<void()> callback)
    : onTimeout (std::move (callback))
{
}

BackupTimeout::~BackupTimeout()
{
    stopTimer();
}

void BackupTimeout::restart (int milliseconds)
{
    deadlineMs = juce::Time::getMillisecondCounter() + (juce::uint32) milliseconds;

    // The timer itself is only ever started on the message thread, where the step is made.
    if (juce::MessageManager::getInstance()->isThisTheMessageThread())
        startTimer (20);
}

bool BackupTimeout::finish()
{
    return ! finished.exchange (true);
}

void BackupTimeout::timerCallback()
{
    if (finished)
    {
        stopTimer();
        return;
    }

    if ((juce::int32) (juce::Time::getMillisecondCounter() - deadlineMs.load()) >= 0 && finish())
    {
        stopTimer();
        onTimeout();
    }
}
