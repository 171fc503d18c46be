#pragma once

#include "engine/EngineTypes.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <vector>

/** The engine's one state record, read and written directly by the update's steps.

    The fields that the MIDI input and worker threads write while the message thread
    reads them are atomic; other threads still learn of a change only through the
    engine's notifications.
*/
struct EngineState
{
    std::atomic<double> progress { 0.0 };
    std::atomic<int> status { EngineStatus::idle };
    std::atomic<int> model { HardwareModel::unknown };
    std::atomic<double> version { 0.0 }; // from the Identity Reply; 0.0 while unknown
    juce::String port1Name;
    juce::String port3Name;
    std::atomic<bool> emergencyMode { false };
    std::atomic<bool> usesPrivateDriver { false };

    using Message = std::vector<juce::uint8>;

    /** Guards globals and presets, which the backup's reply handlers fill on the MIDI
        input thread while the message thread reads them.
    */
    juce::CriticalSection userDataLock;

    /** The backed-up Global Replies, in arrival order. */
    std::vector<Message> globals;

    /** The backed-up presets, index = preset number, each its stream of messages. */
    std::vector<std::vector<Message>> presets;
};
