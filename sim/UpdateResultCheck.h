#pragma once

#include "sim/SimulatedKeyboard.h"

/** Checks, on the simulated keyboard's side, what an update that reported completion
    left behind.
*/
class UpdateResultCheck final
{
public:
    /** Empty when the keyboard holds exactly the embedded images and, for a normal update,
        the user data the restore must leave, and the backup folder holds what the keyboard
        held before; otherwise what is wrong.
    */
    static juce::String check (const SimulatedKeyboard& keyboard, bool emergencyUpdate, const juce::File& backupFolder);

private:
    UpdateResultCheck() = delete;
};
