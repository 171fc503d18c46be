#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** The application's commands; the window invokes them, the application performs them. */
namespace ApplicationCommandIDs
{
enum : juce::CommandID
{
    updateCommandID = 0x200000,
    toggleEmergencyModeCommandID = 0x200001,
    restoreBackupCommandID = 0x200002 // puts back the backup folder dropped on the window
};
}
