#pragma once

#include "engine/SendSysexMessagesWithTimer.h"
#include "engine/UpdateStep.h"
#include "engine/UserDataReader.h"

/** Reads back what the restore put into the keyboard and compares it, place by place,
    with what was sent. What differs is sent again and read back again, up to two rounds;
    the run completes only when the keyboard holds all of it.

    The restore itself is open-loop and unacknowledged: a message lost or altered on the
    way would otherwise leave a preset half-written behind a completed update.
*/
class RestoreCheckStep final : public UpdateStep
{
public:
    using UpdateStep::UpdateStep;
    ~RestoreCheckStep() override;

    void start() override;
    void outputsGone (const juce::StringArray& names) override;

    static constexpr int maxMends = 2;
    static constexpr int pauseMs = 3;

private:
    void readBack();
    void compare (const UserDataReader::Messages& globals, const std::map<int, EngineState::Preset>& presets);
    void mend();
    juce::String describeDifferences() const;

    std::vector<EngineState::Message> sentGlobals;
    std::map<int, EngineState::Preset> sentPresets;

    // What the last read-back found different.
    std::vector<juce::uint8> differingGlobals;
    std::vector<int> differingPlaces;
    int mends = 0;
    bool compared = false;

    std::unique_ptr<UserDataReader> reader;
    ApplicationEngine::SendSysexMessagesWithTimer::Ptr sender;
};
