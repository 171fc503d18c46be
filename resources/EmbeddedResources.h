#pragma once

/** The data compiled into the executable, each as a pointer to its first byte and its
    size in bytes, byte for byte as its source file holds it: the two firmware streams
    and the window's artwork. Each picture of the window is also held drawn at twice its
    size, for displays of twice the density, under its name with "_2x" before "_png":
    those are reached by name.
*/
namespace EmbeddedResources
{
extern const char* const KVX1_RCap_syx;
extern const int KVX1_RCap_syxSize;

extern const char* const KVX1_RC_assets_syx;
extern const int KVX1_RC_assets_syxSize;

extern const char* const Morelta_FirmwareIcon_png;
extern const int Morelta_FirmwareIcon_pngSize;

extern const char* const MoreltaLockup_png;
extern const int MoreltaLockup_pngSize;

extern const char* const IvraLogo_png;
extern const int IvraLogo_pngSize;

extern const char* const MoreltaFirmwareUpdater_Background_25_png;
extern const int MoreltaFirmwareUpdater_Background_25_pngSize;

extern const char* const MoreltaFirmwareUpdater_Background_49_png;
extern const int MoreltaFirmwareUpdater_Background_49_pngSize;

extern const char* const MoreltaFirmwareUpdater_Background_61_png;
extern const int MoreltaFirmwareUpdater_Background_61_pngSize;

extern const char* const MoreltaFirmwareUpdater_ProgressBar_png;
extern const int MoreltaFirmwareUpdater_ProgressBar_pngSize;

extern const char* const MoreltaFirmwareUpdater_UpdateButton_Hover_png;
extern const int MoreltaFirmwareUpdater_UpdateButton_Hover_pngSize;

extern const char* const MoreltaFirmwareUpdater_UpdateButton_Normal_png;
extern const int MoreltaFirmwareUpdater_UpdateButton_Normal_pngSize;

extern const char* const MoreltaFirmwareUpdater_UpdateButton_Press_png;
extern const int MoreltaFirmwareUpdater_UpdateButton_Press_pngSize;

/** True when the firmware streams are our own placeholders rather than the maker's: they
    are valid streams, and must never reach a real keyboard.
*/
extern const bool firmwareIsPlaceholder;

/** The names of every resource: the streams, the icon, then each picture at 1x and 2x. */
extern const char* const namedResourceList[];
constexpr int namedResourceListSize = 21;

/** The resource of this name, with its size in bytes; nullptr and 0 for a name not in
    the list.
*/
const char* getNamedResource (const char* resourceName, int& size);
} // namespace EmbeddedResources
