#pragma once

#include "engine/SendSysexMessagesWithTimer.h"
#include "engine/UpdateStep.h"

/** Puts the user's settings and presets back into the keyboard: the 14 Global Replies
    2 ms apart, then every preset's messages 3 ms apart, moved two places up where the
    run says the keyboard's firmware keeps presets of its own at places 6 and 7.
*/
class RestoreStep final : public UpdateStep
{
public:
    using UpdateStep::UpdateStep;
    ~RestoreStep() override;

    void start() override;
    void outputsGone (const juce::StringArray& names) override;

    static constexpr int globalsPauseMs = 2, presetsPauseMs = 3;

private:
    void send (std::vector<EngineState::Message> messages, int pauseMs, std::function<void()> then);
    void restorePresets();

    ApplicationEngine::SendSysexMessagesWithTimer::Ptr sender;
};
