#include "engine/DeviceMessages.h"

const std::array<juce::uint8, DeviceMessages::numGlobals> DeviceMessages::globalIds { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };

namespace
{
using Bytes = DeviceMessages::Bytes;

std::optional<Bytes> makerMessage (DeviceMessages::ModelCode code, std::initializer_list<juce::uint8> body)
{
    if (! code.has_value())
        return {};

    auto message = DeviceMessages::buildDeviceHeader (code);
    message.insert (message.end(), body);
    message.push_back (0xF7);
    return message;
}

bool startsWith (const Bytes& bytes, const Bytes& prefix)
{
    return bytes.size() >= prefix.size() && std::equal (prefix.begin(), prefix.end(), bytes.begin());
}

bool isMakerReply (const Bytes& bytes, DeviceMessages::ModelCode code, size_t size, std::initializer_list<juce::uint8> afterHeader)
{
    if (! code.has_value() || bytes.size() != size)
        return false;

    auto prefix = DeviceMessages::buildDeviceHeader (code);
    prefix.insert (prefix.end(), afterHeader);
    return startsWith (bytes, prefix);
}
} // namespace

DeviceMessages::ModelCode DeviceMessages::modelCodeFor (int hardwareModel, const juce::String& port1Name)
{
    if (hardwareModel == HardwareModel::morelta25)
        return 0x2F;

    if (port1Name.contains ("MORELTA25"))
        return {};

    if (port1Name.contains ("MORELTA49"))
        return 0x2E;

    if (port1Name.contains ("MORELTA61"))
        return 0x30;

    return {};
}

Bytes DeviceMessages::buildDeviceHeader (ModelCode code)
{
    if (! code.has_value())
        return {};

    return { 0xF0, 0x47, 0x00, *code };
}

Bytes DeviceMessages::buildIdentityRequest()
{
    return { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 };
}

std::optional<Bytes> DeviceMessages::buildEnterUpdateMode (ModelCode code)
{
    return makerMessage (code, { 0x06, 0x00, 0x00, 0x01, 0x00 });
}

std::optional<Bytes> DeviceMessages::buildGlobalRequest (ModelCode code, juce::uint8 globalId)
{
    return makerMessage (code, { 0x04, 0x02, 0x00, 0x01, globalId });
}

std::optional<Bytes> DeviceMessages::buildPresetSelect (ModelCode code, int presetIndex)
{
    jassert (juce::isPositiveAndBelow (presetIndex, numPresets));
    return makerMessage (code, { 0x04, 0x01, 0x00, 0x05, 0x03, 0x40, 0x00, 0x00, (juce::uint8) presetIndex });
}

std::optional<Bytes> DeviceMessages::buildPresetDumpRequest (ModelCode code)
{
    return makerMessage (code, { 0x04, 0x01, 0x00, 0x05, 0x25, 0x40, 0x00, 0x00, 0x05 });
}

std::optional<Bytes> DeviceMessages::buildPresetEnd (ModelCode code)
{
    return makerMessage (code, { 0x04, 0x08, 0x00, 0x00 });
}

bool DeviceMessages::isIdentityReply (const Bytes& bytes)
{
    return bytes.size() == identityReplySize
           && startsWith (bytes, { 0xF0, 0x7E, 0x00, 0x06, 0x02, 0x47 })
           && (bytes[6] == 0x2E || bytes[6] == 0x2F || bytes[6] == 0x30);
}

bool DeviceMessages::isGlobalReply (const Bytes& bytes, ModelCode code)
{
    return isMakerReply (bytes, code, globalReplySize, { 0x04, 0x02, 0x00, 0x05 });
}

bool DeviceMessages::isPresetData (const Bytes& bytes, ModelCode code)
{
    return isMakerReply (bytes, code, presetDataSize, { 0x04, 0x07, 0x00, 0x07, 0x00, 0x05 });
}

double DeviceMessages::versionFromIdentityReply (const Bytes& reply)
{
    jassert (isIdentityReply (reply));
    const auto digit = [&reply] (int offset)
    { return juce::String ((int) reply[(size_t) offset]); };

    // A two-digit minor version may come as one byte (0, 1, 0, 16) or as two (0, 1, 1, 6).
    const auto text = reply[12] > 9 ? digit (9) + digit (10) + "." + digit (12)
                                    : digit (9) + digit (10) + "." + digit (11) + digit (12);
    return text.getDoubleValue();
}

Bytes DeviceMessages::bytesOf (const juce::MidiMessage& message)
{
    return { message.getRawData(), message.getRawData() + message.getRawDataSize() };
}

juce::MidiMessage DeviceMessages::toMidiMessage (const Bytes& bytes)
{
    return juce::MidiMessage (bytes.data(), (int) bytes.size(), 0.0);
}
