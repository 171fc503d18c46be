#pragma once

#include <juce_core/juce_core.h>

/** A short account of one update, written into its backup folder so that support can
    tell what happened: the updater's version, the keyboard, its firmware before and
    after, each step with its time, and how the update ended.

    Steps are noted from any thread; the log is begun and written on the message thread.
*/
class UpdateLog final
{
public:
    static constexpr const char* fileName = "UpdateLog.txt";

    UpdateLog() = default;

    /** Starts a new account, forgetting the last. */
    void begin (bool emergency, int model, double versionBefore);

    /** Notes the step the update has entered; a step noted again is not repeated. */
    void step (int status);

    /** Starts the account of another try of the same update, after the last. */
    void again (int tryNumber);

    /** Notes something that happened in the step the update is in. */
    void note (const juce::String& text);

    /** Notes how the update ended; the version after is 0.0 when it is not known. The
        MIDI lines (what the port system tells of its ports and errors) close the account.
    */
    void end (const juce::String& outcome, double versionAfter, const juce::StringArray& midiLines = {});

    bool isActive() const;
    juce::String getText() const;

    /** Writes the account into this folder, making it if needed. */
    bool writeTo (const juce::File& folder) const;

private:
    static juce::String now();

    mutable juce::CriticalSection lock;
    bool active = false;
    int lastStatus = -1;
    juce::StringArray lines;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateLog)
};
