#pragma once

#include "engine/AgreeingReads.h"
#include "engine/RetrieveAllGlobals.h"
#include "engine/RetrievePreset.h"

#include <map>

/** Reads the keyboard's 14 global settings and its presets at the places asked for,
    each part until it comes whole: one read that went wrong makes the part be read again
    until two reads agree. The backup reads the user's data with it, and the check after
    a restore reads back what was put in.

    Lives on the message thread; its workers hand over there what they hear.
*/
class UserDataReader final
{
public:
    using Messages = AgreeingReads::Messages;

    struct Callbacks
    {
        std::function<void (bool presets, double progress)> progress; // in the globals, then in the presets
        std::function<void (Messages globals, std::map<int, EngineState::Preset> presets)> read;
        std::function<void (int error, juce::String detail)> failed; // the part that never came whole
        std::function<void (juce::String)> note;                     // for the update's log
    };

    /** The requests go to the output of this name, or to every open output when none is
        given.
    */
    UserDataReader (MidiManager::Ptr midiManager, juce::String portName, DeviceMessages::ModelCode modelCode, std::vector<int> presetPlaces, Callbacks callbacks);
    ~UserDataReader();

    /** Sends the first requests. False, having said why through failed(), when no port
        is open or no model code can address the keyboard.
    */
    bool start();

    /** The keyboard was unplugged: a part that goes wrong from now on is not read again,
        since what comes back may be another keyboard.
    */
    void keyboardGone() noexcept { gone = true; }

private:
    bool readGlobals();
    void globalsRead (std::optional<Messages> replies, const juce::String& why);
    void readPreset (size_t position);
    void presetRead (size_t position, std::optional<EngineState::Preset> stream, const juce::String& why);
    void readAgainOrFail (AgreeingReads::Next next, int place, const juce::String& why, std::function<void()> readAgain);
    void later (std::function<void()> call);

    const MidiManager::Ptr midiManager;
    const juce::String portName;
    const DeviceMessages::ModelCode modelCode;
    const std::vector<int> places;
    const Callbacks callbacks;

    AgreeingReads reads;
    bool gone = false;
    Messages globals;
    std::map<int, EngineState::Preset> presets;
    std::unique_ptr<ApplicationEngine::RetrieveAllGlobals> globalsWorker;
    std::unique_ptr<ApplicationEngine::RetrievePreset> presetWorker;

    JUCE_DECLARE_WEAK_REFERENCEABLE (UserDataReader)
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UserDataReader)
};
