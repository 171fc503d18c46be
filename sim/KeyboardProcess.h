#pragma once

#include <juce_core/juce_core.h>

/** The simulated keyboard in a process of its own (morelta-sim-keyboard), which our WinMM
    test driver reaches over its link: started on a free link port, asked what an update
    left on it, and ended.
*/
class KeyboardProcess
{
public:
    /** Starts the keyboard process with these options (the keyboard's own, as
        morelta-sim-keyboard takes them), on this link port or a free one;
        isRunning() tells whether it came up.
    */
    explicit KeyboardProcess (const juce::StringArray& options, int port = 0, const juce::File& executable = besideThisProgram());

    /** Ends it. */
    ~KeyboardProcess();

    bool isRunning() const { return linkPort > 0 && process.isRunning(); }
    int getLinkPort() const noexcept { return linkPort; }

    /** What it printed up to its link port, for a failure's report. */
    juce::String getOutput() const { return output; }

    /** Points this process's WinMM test driver at the keyboard. Winmm loads its driver
        once per process, at the first MIDI call, so this must come before that.
    */
    void exportLinkPort() const;

    /** Asks the keyboard whether it holds what an update must leave (the backup folder's
        data restored, unless emergency); empty when it does, otherwise what is wrong.
    */
    juce::String check (bool emergencyUpdate, const juce::File& backupFolder) const;

    /** The control request of that check, as the keyboard process reads it. */
    static juce::String checkRequest (bool emergencyUpdate, const juce::File& backupFolder);

    /** Ends the process, waiting for it; its trace file is complete afterwards. */
    bool quit();

    static juce::File besideThisProgram();

private:
    mutable juce::ChildProcess process;
    int linkPort = 0;
    juce::String output;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KeyboardProcess)
};
