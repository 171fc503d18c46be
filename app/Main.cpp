#include "app/MoreltaFirmwareUpdaterApplication.h"

START_JUCE_APPLICATION (MoreltaFirmwareUpdaterApplication)
