#include "engine/KeyboardPortNames.h"

#include <map>
#include <regex>
#include <set>

namespace
{
const char* const productWord = "MORELTA";
const char* const privatePort1 = "USB PORT 1";
const char* const classPort3 = "MIDIIN3";

bool carries (const juce::String& upperName, int model)
{
    return model == HardwareModel::unknown ? upperName.contains (productWord)
                                           : upperName.contains (HardwareModel::nameOf (model));
}

/** The class driver's first port for "MIDIIN3 (<device>)": the output listed as the
    device's name. Failing that, the device's name as written there, or the bare name of
    the model it carries.
*/
juce::String firstPortOfClassDevice (const juce::String& port3, const juce::StringArray& outputs)
{
    const auto device = port3.fromFirstOccurrenceOf ("(", false, false).upToLastOccurrenceOf (")", false, false).trim();

    for (auto& output : outputs)
        if (device.isNotEmpty() && output.equalsIgnoreCase (device))
            return output;

    if (KeyboardPortNames::modelOf (device) != HardwareModel::unknown)
        return device;

    const auto upper = port3.toUpperCase();
    juce::String port1;

    if (upper.contains ("MORELTA25"))
        port1 = "MORELTA25";
    else if (upper.contains ("MORELTA49"))
        port1 = "MORELTA49";

    if (upper.contains ("MORELTA61"))
        port1 = "MORELTA61";

    return port1;
}

/** Newer-style names say nothing of which port is which: the first output carrying the
    model is the first port, and every input carrying it may bring the answers.
*/
std::optional<KeyboardPortNames::Keyboard> findNewStyle (const juce::StringArray& inputs, const juce::StringArray& outputs, int model)
{
    for (auto& output : outputs)
    {
        const auto found = KeyboardPortNames::modelOf (output.toUpperCase());

        if (found == HardwareModel::unknown || (model != HardwareModel::unknown && found != model))
            continue;

        KeyboardPortNames::Keyboard keyboard;
        keyboard.port1 = output;
        keyboard.model = found;

        for (auto& input : inputs)
            if (KeyboardPortNames::modelOf (input.toUpperCase()) == found)
                keyboard.inputs.add (input);

        return keyboard;
    }

    return {};
}
} // namespace

int KeyboardPortNames::modelOf (const juce::String& portName)
{
    for (int model = HardwareModel::morelta25; model <= HardwareModel::morelta61; ++model)
        if (portName.contains (HardwareModel::nameOf (model)))
            return model;

    return HardwareModel::unknown;
}

std::optional<KeyboardPortNames::Keyboard> KeyboardPortNames::find (const juce::StringArray& inputs, const juce::StringArray& outputs, int model)
{
    for (auto& name : inputs)
    {
        const auto upper = name.toUpperCase();

        if (! carries (upper, model))
            continue;

        Keyboard keyboard;

        if (upper.contains (privatePort1))
        {
            keyboard.port1 = name;
            keyboard.privateDriver = true;
            keyboard.inputs.add (name);
        }
        else if (upper.contains (classPort3))
        {
            keyboard.port1 = firstPortOfClassDevice (name, outputs);
            keyboard.port3 = name;
            keyboard.inputs.addArray ({ keyboard.port1, name });
        }
        else
        {
            continue;
        }

        keyboard.model = modelOf (keyboard.port1);
        return keyboard;
    }

    return findNewStyle (inputs, outputs, model);
}

int KeyboardPortNames::countKeyboards (const juce::StringArray& outputNames)
{
    // The marks by which the system tells identical devices apart, so that what is left
    // is the name a lone keyboard would have; and the device a port belongs to: its name
    // up to the model's, with the numbering around it ("2- MORELTA49" for
    // "MIDIOUT2 (2- MORELTA49)", "MORELTA49 (2)" for "MORELTA49 (2) MIDI").
    static const std::regex countedPrefix (R"((^|\()[0-9]+ ?- )"), countedInfix (R"( \([0-9]+\))"), countedSuffix (R"(-[0-9]+$)");
    static const std::regex device (R"(^(?:MIDI(?:IN|OUT)[0-9]+ \()?((?:[0-9]+ ?- )?.*?MORELTA[0-9]+(?: \([0-9]+\))?))");
    std::map<int, std::map<std::string, int>> namesByModel;
    std::map<int, std::set<std::string>> devicesByModel;

    for (auto& name : outputNames)
    {
        const auto upper = name.toUpperCase().toStdString();
        const auto model = modelOf (juce::String (upper));

        if (model == HardwareModel::unknown)
            continue;

        auto plain = std::regex_replace (upper, countedPrefix, "$1");
        plain = std::regex_replace (plain, countedInfix, "");
        plain = std::regex_replace (plain, countedSuffix, "");
        ++namesByModel[model][plain];

        std::smatch match;

        if (std::regex_search (upper, match, device))
            devicesByModel[model].insert (match[1].str());
    }

    int keyboards = 0;

    for (auto& [model, names] : namesByModel)
    {
        auto most = (int) devicesByModel[model].size();

        for (auto& [plain, count] : names)
            most = juce::jmax (most, count);

        keyboards += most;
    }

    return keyboards;
}
