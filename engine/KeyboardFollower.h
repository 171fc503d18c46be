#pragma once

#include "engine/KeyboardPortNames.h"
#include "midi/MidiManager.h"

/** Follows a keyboard that is listed under names not known before: some systems bind
    another driver to a keyboard in its update mode, which names its ports otherwise, and
    it comes back under its own names after. Only names listed since the wait began count,
    and only while the keyboard is the one there: which of two is which cannot be told by
    names, and neither firmware nor the user's data may go to another keyboard.
*/
class KeyboardFollower final
{
public:
    explicit KeyboardFollower (MidiManager& midiManager);

    /** From now on, names listed count as new; message thread. */
    void startWaiting();

    /** The keyboard of this model listed anew, its ports opened; none while another is
        connected too (then isAmbiguous), or while nothing new carries the model.
    */
    std::optional<KeyboardPortNames::Keyboard> seek (int model);

    /** Whether another keyboard was connected when it was sought last. */
    bool isAmbiguous() const noexcept { return ambiguous; }

    /** The keyboard followed last turned out to be another: its ports are closed, and
        its names are not taken again.
    */
    void letGo();

private:
    MidiManager& midiManager;
    juce::StringArray inputsBefore, outputsBefore, followedPorts;
    bool ambiguous = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (KeyboardFollower)
};
