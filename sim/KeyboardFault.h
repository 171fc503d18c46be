#pragma once

#include <juce_core/juce_core.h>

#include <optional>

/** One misbehaviour of the simulated keyboard, at one point of its conversation.

    Written as text "KIND[=VALUE]@POINT[,repeat]", for example:
      unplug@preset:3:100          unplugged before Preset Data 100 of preset 3
      silent@global:5              stops answering from the 6th Global Request on
      malformed=wrong-model@global:0
      no-return@reboot             never comes back after the new firmware
      late-return=5000@update-mode comes back 5 s later than usual

      pause=1500@global:5          waits 1.5 s before answering the 6th Global Request
      drop@assets-block:5000       the 5001st write of the assets image is lost on the
                                   link, so the loader rejects the image
      drop@update-mode             Enter Update Mode is lost: the keyboard stays as it is
      drop@preset:3:100            Preset Data 100 of preset 3 is lost on the way
      double@global:5              the 6th Global Reply arrives twice
      drop@restore:500             the 501st message put back is lost on the way
      corrupt@restore:500,repeat   the keyboard stores the 501st message put back with a
                                   byte changed, and so every later write to that place
      unplug=3000@assets-block:4000  unplugged there, plugged in again 3 s later (in its
                                   update mode, as firmware cut short leaves it)
      bounce=800@update-mode       told to enter its update mode, its ports go and come
                                   back 0.8 s later, but it goes on running its firmware
      unseen@reboot                restarts into the new firmware without its ports going
                                   away (too quickly for the system to notice), where
                                   its update mode keeps its names

    A lost or doubled message, an unplug and a bounce stand for a passing fault: each fires
    once, so that the next try gets through, unless written with ",repeat".

    Kinds: unplug (=milliseconds until plugged in again; without, it stays away), silent, malformed (=wrong-length | wrong-model | non-sysex |
    duplicate | truncated | foreign), no-return, late-return (=milliseconds),
    pause (=milliseconds; before an answer), drop (a firmware write, an answer, a message
    put back, or Enter Update Mode at update-mode), double (an answer), corrupt (at
    restore only), bounce (=milliseconds; at update-mode only), unseen (at reboot only).
    Points, counted from 0: identity:N (the Nth Identity Request), global:N (the Nth
    Global Request), preset:P:M (Preset Data M of preset P's dump), app-block:N and
    assets-block:N (the Nth write of that image), restore:N (the Nth message sent back
    to the keyboard after the update, or of a backup put back), update-mode (the restart into update mode),
    reboot (the restart into the new firmware).
*/
struct KeyboardFault
{
    enum class Kind
    {
        unplug,
        silent,
        malformed,
        noReturn,
        lateReturn,
        pause,
        drop,
        bounce,
        unseen,
        doubled,
        corrupt
    };

    enum class Point
    {
        identity,
        global,
        preset,
        appBlock,
        assetsBlock,
        restore,
        updateMode,
        reboot
    };

    enum class Malformation
    {
        wrongLength,
        wrongModel,
        nonSysex,
        duplicate,
        truncated,
        foreign
    };

    Kind kind = Kind::unplug;
    Point point = Point::global;
    int index = 0;
    int subIndex = 0;
    Malformation malformation = Malformation::wrongLength;
    int delayMs = 0;      // late-return, pause and bounce; for unplug, until plugged in again (0: never)
    bool repeats = false; // a drop, an unplug or a bounce that fires each time its point comes

    /** Whether it fires only the first time its point comes. */
    bool firesOnce() const noexcept { return isPassing() && ! repeats; }

    /** Whether it stands for a passing fault, which may be written to repeat. */
    bool isPassing() const noexcept { return kind == Kind::drop || kind == Kind::unplug || kind == Kind::bounce || kind == Kind::doubled || kind == Kind::corrupt; }

    /** Reads the text form; nothing for text that is not a fault. */
    static std::optional<KeyboardFault> parse (const juce::String& text);

    juce::String toString() const;

    /** Whether this fault is set at exactly this point. */
    bool isAt (Point p, int i = 0, int sub = 0) const noexcept
    {
        return point == p && index == i && subIndex == sub;
    }

    /** Whether this point is at or after the fault's point within the same kind of
        exchange (for faults that last, such as silence).
    */
    bool isFrom (Point p, int i = 0, int sub = 0) const noexcept
    {
        return point == p && (i > index || (i == index && sub >= subIndex));
    }
};
