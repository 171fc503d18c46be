#pragma once

#include "engine/EngineTypes.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <array>
#include <optional>
#include <vector>

/** Every message the updater sends to the keyboard and every reply it waits for, byte
    by byte, as pure functions.

    The maker's messages open with F0 47 00 and the model code. Where no model code is
    known, no such message can be made: those builders return nothing rather than a
    message without its header.
*/
struct DeviceMessages
{
    using Bytes = std::vector<juce::uint8>;
    using ModelCode = std::optional<juce::uint8>;

    /** The 14 global settings the backup reads, in request order. */
    static constexpr int numGlobals = 14;
    static const std::array<juce::uint8, numGlobals> globalIds;

    /** The keyboard's presets; each comes as this many Preset Data messages, and is kept
        as its Preset Select, those messages and a Preset End.
    */
    static constexpr int numPresets = 32;
    static constexpr int presetDataMessages = 384;
    static constexpr int presetStreamMessages = presetDataMessages + 2;

    static constexpr int identityReplySize = 35;
    static constexpr int globalReplySize = 14;
    static constexpr int presetDataSize = 16;

    /** The code of the connected model: 0x2F for the 25-key model; otherwise the one
        named by the port-1 name (0x2E for MORELTA49, 0x30 for MORELTA61), none else.
    */
    static ModelCode modelCodeFor (int hardwareModel, const juce::String& port1Name);

    /** F0 47 00 and the model code; empty without a code. */
    static Bytes buildDeviceHeader (ModelCode code);

    static Bytes buildIdentityRequest();
    static std::optional<Bytes> buildEnterUpdateMode (ModelCode code);
    static std::optional<Bytes> buildGlobalRequest (ModelCode code, juce::uint8 globalId);
    static std::optional<Bytes> buildPresetSelect (ModelCode code, int presetIndex);
    static std::optional<Bytes> buildPresetDumpRequest (ModelCode code);
    static std::optional<Bytes> buildPresetEnd (ModelCode code);

    static bool isIdentityReply (const Bytes& bytes);
    static bool isGlobalReply (const Bytes& bytes, ModelCode code);
    static bool isPresetData (const Bytes& bytes, ModelCode code);

    /** The firmware version an Identity Reply gives, e.g. 1.16. */
    static double versionFromIdentityReply (const Bytes& reply);

    static Bytes bytesOf (const juce::MidiMessage& message);
    static juce::MidiMessage toMidiMessage (const Bytes& bytes);
};
