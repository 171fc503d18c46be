#pragma once

/** The data compiled into the executable, each as a pointer to its first byte and its
    size in bytes, byte for byte as its source file holds it.
*/
namespace EmbeddedResources
{
extern const char* const KVX1_RCap_syx;
extern const int KVX1_RCap_syxSize;

extern const char* const KVX1_RC_assets_syx;
extern const int KVX1_RC_assets_syxSize;
} // namespace EmbeddedResources
