#pragma once

#include <juce_core/juce_core.h>

/** Sends one firmware image to the keyboard on a thread of its own.

    So far only its listener interface exists, which the engine implements; the sender
    itself comes with the firmware transfer.
*/
class FirmwareSysexSender
{
public:
    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** How far the transfer has come, 0 to 1. */
        virtual void progress (FirmwareSysexSender* sender, double value) = 0;

        /** "Started", "Completed" or "Device Offline". */
        virtual void status (FirmwareSysexSender* sender, const juce::String& text) = 0;
    };

private:
    FirmwareSysexSender() = delete;
};
