#pragma once

/** The data compiled into the executable, each as a pointer to its first byte and its
    size in bytes, byte for byte as its source file holds it: the two firmware streams
    and the window's artwork.
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

/** The names above, in their order. */
extern const char* const namedResourceList[];
constexpr int namedResourceListSize = 12;
} // namespace EmbeddedResources
