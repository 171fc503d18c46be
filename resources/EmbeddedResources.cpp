#include "resources/EmbeddedResources.h"

// The bytes themselves come from the assembler's .incbin (EmbeddedResourceData.S): a
// C++ array of 8 MB takes a minute and a gigabyte to compile, the assembler a second.
extern "C" const char morelta_resource_KVX1_RCap_syx[];
extern "C" const char morelta_resource_KVX1_RCap_syx_end[];
extern "C" const char morelta_resource_KVX1_RC_assets_syx[];
extern "C" const char morelta_resource_KVX1_RC_assets_syx_end[];

namespace EmbeddedResources
{
extern const char* const KVX1_RCap_syx = morelta_resource_KVX1_RCap_syx;
extern const int KVX1_RCap_syxSize = (int) (morelta_resource_KVX1_RCap_syx_end - morelta_resource_KVX1_RCap_syx);

extern const char* const KVX1_RC_assets_syx = morelta_resource_KVX1_RC_assets_syx;
extern const int KVX1_RC_assets_syxSize = (int) (morelta_resource_KVX1_RC_assets_syx_end - morelta_resource_KVX1_RC_assets_syx);
} // namespace EmbeddedResources
