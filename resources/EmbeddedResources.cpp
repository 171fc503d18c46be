#include "resources/EmbeddedResources.h"

// The bytes themselves come from the assembler's .incbin (EmbeddedResourceData.S): a
// C++ array of 8 MB takes a minute and a gigabyte to compile, the assembler a second.
#define MORELTA_RESOURCE(name)                                                                     \
    extern "C" const char morelta_resource_##name[];                                               \
    extern "C" const char morelta_resource_##name##_end[];                                         \
    namespace EmbeddedResources                                                                    \
    {                                                                                              \
    extern const char* const name = morelta_resource_##name;                                       \
    extern const int name##Size = (int) (morelta_resource_##name##_end - morelta_resource_##name); \
    }

MORELTA_RESOURCE (KVX1_RCap_syx)
MORELTA_RESOURCE (KVX1_RC_assets_syx)
MORELTA_RESOURCE (Morelta_FirmwareIcon_png)
MORELTA_RESOURCE (MoreltaLockup_png)
MORELTA_RESOURCE (IvraLogo_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_Background_25_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_Background_49_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_Background_61_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_ProgressBar_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_UpdateButton_Hover_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_UpdateButton_Normal_png)
MORELTA_RESOURCE (MoreltaFirmwareUpdater_UpdateButton_Press_png)

namespace EmbeddedResources
{
extern const bool firmwareIsPlaceholder = MORELTA_PLACEHOLDER_FIRMWARE != 0;

extern const char* const namedResourceList[] = {
    "KVX1_RCap_syx",
    "KVX1_RC_assets_syx",
    "Morelta_FirmwareIcon_png",
    "MoreltaLockup_png",
    "IvraLogo_png",
    "MoreltaFirmwareUpdater_Background_25_png",
    "MoreltaFirmwareUpdater_Background_49_png",
    "MoreltaFirmwareUpdater_Background_61_png",
    "MoreltaFirmwareUpdater_ProgressBar_png",
    "MoreltaFirmwareUpdater_UpdateButton_Hover_png",
    "MoreltaFirmwareUpdater_UpdateButton_Normal_png",
    "MoreltaFirmwareUpdater_UpdateButton_Press_png",
};
} // namespace EmbeddedResources
