#pragma once

#include "sim/FirmwareBlockCounter.h"

/** One misbehaviour of the WinMM driver's side of the simulated keyboard, decided by the
    keyboard process (morelta-sim-keyboard --driver-fault), written "KIND[=VALUE][@POINT]":
      busy                         every open of the keyboard's ports fails with
                                   MMSYSERR_ALLOCATED, as if another program held them
      busy=3                       the next 3 opens fail so
      slow-done=5000@app-block:7   MOM_DONE of the app image's 8th block comes 5 s after
                                   the keyboard has taken it
      refuse@assets-block:0        MODM_LONGDATA of that block fails with MMSYSERR_ERROR,
                                   and the keyboard never sees it
      never-done@app-block:100     that block reaches the keyboard, but is never done
    Blocks are counted as the keyboard's fault points count them (sim/KeyboardFault.h).
*/
struct DriverFault
{
    enum class Kind
    {
        busy,
        slowDone,
        refuse,
        neverDone
    };

    Kind kind = Kind::busy;
    int value = -1; // busy: how many opens (-1: all); slow-done: milliseconds
    FirmwareBlockCounter::Block block { KeyboardFault::Point::appBlock, 0 };

    static std::optional<DriverFault> parse (const juce::String& text);

    bool isAt (const FirmwareBlockCounter::Block& b) const noexcept
    {
        return kind != Kind::busy && b.point == block.point && b.index == block.index;
    }
};
