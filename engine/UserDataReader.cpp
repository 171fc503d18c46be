#include "engine/UserDataReader.h"

UserDataReader::UserDataReader (MidiManager::Ptr manager, juce::String port, DeviceMessages::ModelCode code, std::vector<int> presetPlaces, Callbacks c)
    : midiManager (std::move (manager))
    , portName (std::move (port))
    , modelCode (code)
    , places (std::move (presetPlaces))
    , callbacks (std::move (c))
{
}

UserDataReader::~UserDataReader()
{
    // The workers stop listening before what they report to goes.
    presetWorker.reset();
    globalsWorker.reset();
    masterReference.clear();
}

bool UserDataReader::start()
{
    return readGlobals();
}

bool UserDataReader::readGlobals()
{
    globalsWorker.reset();
    globalsWorker = std::make_unique<ApplicationEngine::RetrieveAllGlobals> (
        midiManager,
        portName,
        modelCode,
        ApplicationEngine::RetrieveAllGlobals::Callbacks {
            [this] (int replies)
            { callbacks.progress (false, (double) replies / DeviceMessages::numGlobals); },
            [this] (Messages replies)
            { globalsRead (std::move (replies), {}); },
            [this] (juce::String why)
            { globalsRead ({}, why); } });

    if (globalsWorker->start())
        return true;

    callbacks.failed (EngineError::deviceUnavailable, {});
    return false;
}

void UserDataReader::globalsRead (std::optional<Messages> replies, const juce::String& why)
{
    const auto next = replies.has_value() ? reads.whole (*replies) : reads.spoilt();

    if (next != AgreeingReads::Next::take)
    {
        readAgainOrFail (next, -1, why, [this]
                         { (void) readGlobals(); });
        return;
    }

    globals = std::move (*replies);
    reads = {};
    callbacks.progress (true, 0.0);
    later ([this]
           {
               globalsWorker.reset();
               readPreset (0); });
}

void UserDataReader::readPreset (size_t position)
{
    if (position == places.size())
    {
        presetWorker.reset();
        callbacks.read (std::move (globals), std::move (presets));
        return;
    }

    const auto place = places[position];
    const auto messagesInAll = (double) places.size() * (DeviceMessages::presetDataMessages + 1);

    presetWorker.reset();
    presetWorker = std::make_unique<ApplicationEngine::RetrievePreset> (
        midiManager,
        portName,
        place,
        modelCode,
        ApplicationEngine::RetrievePreset::Callbacks {
            [this, position, messagesInAll] (int messages)
            { callbacks.progress (true, ((double) position * (DeviceMessages::presetDataMessages + 1) + messages) / messagesInAll); },
            [this, position] (EngineState::Preset stream)
            { presetRead (position, std::move (stream), {}); },
            [this, position] (juce::String why)
            { presetRead (position, {}, why); } });

    if (! presetWorker->start())
        callbacks.failed (EngineError::deviceUnavailable, {});
}

void UserDataReader::presetRead (size_t position, std::optional<EngineState::Preset> stream, const juce::String& why)
{
    const auto next = stream.has_value() ? reads.whole (*stream) : reads.spoilt();

    if (next != AgreeingReads::Next::take)
    {
        readAgainOrFail (next, places[position], why, [this, position]
                         { readPreset (position); });
        return;
    }

    presets[places[position]] = std::move (*stream);
    reads = {};
    later ([this, position]
           { readPreset (position + 1); });
}

void UserDataReader::readAgainOrFail (AgreeingReads::Next next, int place, const juce::String& why, std::function<void()> readAgain)
{
    const auto part = place < 0 ? juce::String ("the global settings") : "preset " + juce::String (place + 1);
    callbacks.note ("read " + juce::String (reads.getReads()) + " of " + part + ": " + (why.isNotEmpty() ? why : "not the same as the read before"));

    if (next == AgreeingReads::Next::readAgain && ! gone)
    {
        later (std::move (readAgain));
        return;
    }

    callbacks.failed (place < 0 ? EngineError::globalsTimeout : EngineError::presetTimeout,
                      place < 0 ? juce::String ("The keyboard's global settings could not be read whole.")
                                : "Preset " + juce::String (place + 1) + " could not be read whole from the keyboard.");
}

void UserDataReader::later (std::function<void()> call)
{
    // A worker is replaced only once its own callback has returned.
    juce::MessageManager::callAsync ([reader = juce::WeakReference<UserDataReader> (this), call = std::move (call)]
                                     {
                                         if (reader != nullptr)
                                             call(); });
}
