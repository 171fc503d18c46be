#include "app/MoreltaFirmwareUpdaterApplication.h"
#include "sim/VirtualMidiPortSystem.h"

// The updater on the virtual MIDI ports, for trying it without a keyboard.
class MoreltaFirmwareUpdaterDemo final : public MoreltaFirmwareUpdaterApplication
{
public:
    MoreltaFirmwareUpdaterDemo()
        : MoreltaFirmwareUpdaterApplication (Environment {
            new VirtualMidiPortSystem(),
            juce::File::getSpecialLocation (juce::File::commonApplicationDataDirectory) })
    {
    }
};

START_JUCE_APPLICATION (MoreltaFirmwareUpdaterDemo)
