#include "platform/AlsaErrorSilencer.h"

#include <juce_core/juce_core.h>

#if JUCE_LINUX
#include <alsa/asoundlib.h>
#include <mutex>

namespace
{
void ignoreAlsaError (const char*, int, const char*, int, const char*, ...) {}
} // namespace
#endif

void AlsaErrorSilencer::install()
{
#if JUCE_LINUX
    static std::once_flag once;
    std::call_once (once, []
                    { snd_lib_error_set_handler (ignoreAlsaError); });
#endif
}
