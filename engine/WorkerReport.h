#pragma once

#include "engine/ApplicationEngine.h"

/** A report from another thread, carried over to the message thread with the reset
    count at the time it was made, so that one that a reset overtook is dropped there.
*/
struct ApplicationEngine::WorkerReport final : public juce::Message
{
    WorkerReport (bool e, int v, juce::uint32 r)
        : isError (e)
        , value (v)
        , resetCount (r)
    {
    }

    const bool isError; // else a completed step
    const int value;    // the error, or the completed step's status
    const juce::uint32 resetCount;
};
