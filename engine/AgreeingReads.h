#pragma once

#include "engine/EngineState.h"

#include <optional>

/** Decides, read after read of one part of the keyboard's data, when a read can be
    trusted. A first read that came whole is taken. Once any read went wrong, the part is
    read again, up to two more times, and taken only when two whole reads agree byte for
    byte: a count of messages alone cannot prove that nothing was doubled and lost.
*/
class AgreeingReads final
{
public:
    using Messages = std::vector<EngineState::Message>;

    enum class Next
    {
        take,
        readAgain,
        giveUp
    };

    static constexpr int maxReads = 3;

    Next whole (const Messages& read);
    Next spoilt();

    int getReads() const noexcept { return reads; }

private:
    Next again() const noexcept { return reads < maxReads ? Next::readAgain : Next::giveUp; }

    int reads = 0;
    bool wentWrong = false;
    std::optional<Messages> lastWhole;
};
