#pragma once

/** ALSA prints a line to stderr each time JUCE lists the ports of a machine without a
    MIDI sequencer. The updater writes nothing to the console, so those lines are dropped.
    Does nothing on other platforms.
*/
class AlsaErrorSilencer final
{
public:
    /** Installs the silent handler once per process; safe to call from several places. */
    static void install();

private:
    AlsaErrorSilencer() = delete;
};
