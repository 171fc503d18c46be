#include "engine/IdentityProbe.h"

#include "engine/DeviceMessages.h"

IdentityProbe::IdentityProbe (MidiManager::Ptr manager, int numTries, int intervalMs, Callbacks c)
    : midiManager (std::move (manager))
    , tries (numTries)
    , callbacks (std::move (c))
    , replies ([this] (double& version)
               {
                   if (! std::exchange (decided, true))
                   {
                       stopTimer();
                       callbacks.answered (version);
                   } })
{
    midiManager->addListener (this);
    ask();
    startTimer (intervalMs);
}

IdentityProbe::~IdentityProbe()
{
    stopTimer();
    midiManager->removeListener (this);
}

void IdentityProbe::ask()
{
    ++asked;
    midiManager->sendMessageToAllOutputs (DeviceMessages::toMidiMessage (DeviceMessages::buildIdentityRequest()));
}

void IdentityProbe::timerCallback()
{
    if (asked < tries)
    {
        ask();
        return;
    }

    stopTimer();

    if (! std::exchange (decided, true))
        callbacks.silent();
}

void IdentityProbe::handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message)
{
    if (! message.isSysEx())
        return;

    const auto bytes = DeviceMessages::bytesOf (message);

    if (DeviceMessages::isIdentityReply (bytes))
        replies.post (DeviceMessages::versionFromIdentityReply (bytes));
}
