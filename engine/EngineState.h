#pragma once

#include "engine/EngineTypes.h"

#include <juce_core/juce_core.h>

#include <vector>

/** The engine's one state record. It belongs to the message thread: workers on other
    threads hand what they learn over to it, and only it writes here.
*/
struct EngineState
{
    double progress = 0.0;
    int status = EngineStatus::idle;
    int model = HardwareModel::unknown;
    double version = 0.0; // from the Identity Reply; 0.0 while unknown
    juce::String port1Name;
    juce::String port3Name;
    bool emergencyMode = false;
    bool usesPrivateDriver = false;

    using Message = std::vector<juce::uint8>;
    using Preset = std::vector<Message>;

    /** The backed-up Global Replies, in arrival order. */
    std::vector<Message> globals;

    /** The backed-up presets, index = preset number, each its stream of messages. */
    std::vector<Preset> presets;
};
