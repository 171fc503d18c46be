#include "engine/UnopenablePortWatch.h"

UnopenablePortWatch::UnopenablePortWatch (MidiManager& manager, AwaitedPort awaited, std::function<void()> onGiveUp)
    : midiManager (manager)
    , awaitedPort (std::move (awaited))
    , giveUp (std::move (onGiveUp))
{
    startTimer (100);
}

UnopenablePortWatch::~UnopenablePortWatch()
{
    stopTimer();
}

void UnopenablePortWatch::timerCallback()
{
    const auto port = awaitedPort();

    // A port that is not listed belongs to a keyboard on its way back: no limit there.
    if (port.isEmpty() || midiManager.isMidiOutputOpen (port) || ! midiManager.isMidiOutputAvailable (port))
    {
        unopenableSinceMs = -1.0;
        return;
    }

    const auto now = juce::Time::getMillisecondCounterHiRes();

    if (unopenableSinceMs < 0.0)
        unopenableSinceMs = now;

    if (now - unopenableSinceMs >= timeoutMs)
    {
        unopenableSinceMs = -1.0;
        giveUp();
    }
}
