#include "resources/EmbeddedResources.h"

#include <cstring>
#include <iterator>
#include <tuple>

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

// Every resource, in the order of namedResourceList: the streams, the icon, then each
// picture of the window at 1x and at 2x.
#define MORELTA_PICTURE(X, name) X (name##_png) X (name##_2x_png)
#define MORELTA_RESOURCES(X)                                        \
    X (KVX1_RCap_syx)                                               \
    X (KVX1_RC_assets_syx)                                          \
    X (Morelta_FirmwareIcon_png)                                    \
    MORELTA_PICTURE (X, MoreltaLockup)                              \
    MORELTA_PICTURE (X, IvraLogo)                                   \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_Background_25)       \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_Background_49)       \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_Background_61)       \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_ProgressBar)         \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_UpdateButton_Hover)  \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_UpdateButton_Normal) \
    MORELTA_PICTURE (X, MoreltaFirmwareUpdater_UpdateButton_Press)

MORELTA_RESOURCES (MORELTA_RESOURCE)

namespace EmbeddedResources
{
extern const bool firmwareIsPlaceholder = MORELTA_PLACEHOLDER_FIRMWARE != 0;

#define MORELTA_RESOURCE_NAME(name) #name,
extern const char* const namedResourceList[] = { MORELTA_RESOURCES (MORELTA_RESOURCE_NAME) };
static_assert (std::size (namedResourceList) == namedResourceListSize);

const char* getNamedResource (const char* resourceName, int& size)
{
#define MORELTA_RESOURCE_ENTRY(name) { #name, &name, &name##Size },
    static const std::tuple<const char*, const char* const*, const int*> resources[] = { MORELTA_RESOURCES (MORELTA_RESOURCE_ENTRY) };

    for (auto& [name, data, bytes] : resources)
    {
        if (std::strcmp (name, resourceName) == 0)
        {
            size = *bytes;
            return *data;
        }
    }

    size = 0;
    return nullptr;
}
} // namespace EmbeddedResources
