#include "engine/RestoreCheckStep.h"

#include "engine/RestorePlan.h"
#include "engine/UpdateRun.h"

namespace
{
// A read preset stream and a sent one hold the same preset when their Preset Data agree;
// their Preset Select and Preset End are the updater's own.
bool samePresetData (const EngineState::Preset& a, const EngineState::Preset& b)
{
    return a.size() == b.size() && a.size() > 2 && std::equal (a.begin() + 1, a.end() - 1, b.begin() + 1);
}
} // namespace

RestoreCheckStep::~RestoreCheckStep()
{
    sender = nullptr;
    reader.reset();
}

void RestoreCheckStep::start()
{
    sentGlobals = state.globals;
    sentPresets = RestorePlan::byPlace (state.presets, run.getPlan().adaptPresets);

    for (auto& m : sentGlobals)
        differingGlobals.push_back (m[8]);

    for (auto& [place, stream] : sentPresets)
        differingPlaces.push_back (place);

    readBack();
}

void RestoreCheckStep::outputsGone (const juce::StringArray& names)
{
    if (! names.contains (state.port1Name))
        return;

    // Gone with its data unchecked, as a keyboard unplugged in the restore.
    sender = nullptr;
    reader.reset();
    fail (EngineError::deviceUnavailable, describeDifferences());
}

void RestoreCheckStep::readBack()
{
    engine.setStatus (EngineStatus::checkingRestore, 0.0);

    // The global settings come in one read of all 14; presets only where still in doubt.
    // Asked of the keyboard alone, as the restore went to it alone.
    reader = std::make_unique<UserDataReader> (
        midiManager,
        state.port1Name,
        engine.getModelCode(),
        differingPlaces,
        UserDataReader::Callbacks {
            [this] (bool presets, double progress)
            { engine.setStatus (EngineStatus::checkingRestore, presets ? 0.05 + 0.95 * progress : 0.05 * progress); },
            [this] (UserDataReader::Messages globals, std::map<int, EngineState::Preset> presets)
            {
                compare (globals, presets);
                later ([this]
                       { reader.reset(); }); },
            [this] (int, juce::String)
            { fail (EngineError::restoreIncomplete, describeDifferences()); },
            [this] (juce::String text)
            { note ("checking the restore: " + text); } });

    (void) reader->start();
}

void RestoreCheckStep::compare (const UserDataReader::Messages& globals, const std::map<int, EngineState::Preset>& presets)
{
    compared = true;
    differingGlobals.clear();

    for (auto& sent : sentGlobals)
        if (std::find (globals.begin(), globals.end(), sent) == globals.end())
            differingGlobals.push_back (sent[8]);

    std::vector<int> stillDiffering;

    for (auto place : differingPlaces)
        if (const auto read = presets.find (place); read == presets.end() || ! samePresetData (read->second, sentPresets[place]))
            stillDiffering.push_back (place);

    differingPlaces = std::move (stillDiffering);

    if (differingGlobals.empty() && differingPlaces.empty())
    {
        done();
        return;
    }

    note ("the keyboard does not hold what was put back: " + describeDifferences());

    if (mends++ == maxMends)
    {
        fail (EngineError::restoreIncomplete, describeDifferences());
        return;
    }

    later ([this]
           { mend(); });
}

void RestoreCheckStep::mend()
{
    std::vector<EngineState::Message> messages;

    for (auto& m : sentGlobals)
        if (std::find (differingGlobals.begin(), differingGlobals.end(), m[8]) != differingGlobals.end())
            messages.push_back (m);

    for (auto place : differingPlaces)
        messages.insert (messages.end(), sentPresets[place].begin(), sentPresets[place].end());

    sender = nullptr;
    auto thenReadBack = [this]
    {
        sender = nullptr;
        readBack();
    };

    sender = sendToKeyboard (std::move (messages), pauseMs, thenReadBack, EngineError::restoreIncomplete);
}

juce::String RestoreCheckStep::describeDifferences() const
{
    if (! compared)
        return "What was put back could not be read back from the keyboard to check it.";

    juce::StringArray parts;

    if (! differingGlobals.empty())
        parts.add ("the global settings");

    if (! differingPlaces.empty())
    {
        juce::StringArray numbers;

        for (auto place : differingPlaces)
            numbers.add (juce::String (place + 1));

        parts.add ((differingPlaces.size() == 1 ? "preset " : "presets ") + numbers.joinIntoString (", "));
    }

    return parts.isEmpty() ? juce::String() : "Not put back: " + parts.joinIntoString (" and ") + ".";
}
