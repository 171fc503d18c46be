#pragma once

#include "engine/IdentityProbe.h"
#include "engine/KeyboardFollower.h"
#include "engine/RestartWaitWatch.h"
#include "engine/UnopenablePortWatch.h"
#include "engine/UpdateStep.h"

/** Waits for the keyboard to restart into the new firmware, follows it back under its
    own names, and asks what it runs: only a keyboard that says it runs the firmware it
    was sent counts as updated, or gets its user data back. One whose loader refused an
    image comes back in its update mode, which does not answer.
*/
class RestartStep final : public UpdateStep
{
public:
    using UpdateStep::UpdateStep;
    ~RestartStep() override;

    void start() override;
    void outputsGone (const juce::StringArray& names) override;
    void outputsBack (const juce::StringArray& names) override;

    /** The keyboard is asked this many times, a second apart. */
    static constexpr int confirmTries = 10, confirmIntervalMs = 1000;

private:
    bool isListed() const;
    bool isKeyboards (const juce::StringArray& names) const;
    void seekUnderOtherNames();
    void confirm();
    void answered (double version);

    KeyboardFollower follower { *midiManager };
    juce::StringArray keyboardPorts; // the names the keyboard may come back under
    juce::String awayPort;           // its port before it was followed under other names
    bool followed = false, mayFollow = false;
    std::unique_ptr<RestartWaitWatch> wait;
    std::unique_ptr<UnopenablePortWatch> portWatch;
    std::unique_ptr<IdentityProbe> probe;
};
