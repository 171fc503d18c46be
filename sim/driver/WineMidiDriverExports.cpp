// The entry points of winemorelta.drv, a WinMM MIDI driver for Wine 8.0 whose ports are
// those of a simulated keyboard in another process (morelta-sim-keyboard), reached over
// a TCP link on 127.0.0.1 (see sim/DriverLinkProtocol.h).
//
// Wine picks its one audio and MIDI driver through mmdevapi, from the registry value
// HKCU\Software\Wine\Drivers "Audio" = "morelta", which loads wine<name>.drv: mmdevapi
// needs the four audio exports below (this driver has no audio endpoints), and winmm
// opens the driver with OpenDriver and talks to it through modMessage and midMessage.

#include "sim/driver/DriverSlotTable.h"

#include <mmddk.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace
{
/** Everything the driver runs, from DRV_LOAD to DRV_FREE. */
struct Driver
{
    explicit Driver (std::uint16_t port)
        : slots (callbacks)
        , link (port, slots)
    {
        slots.setLink (link);
    }

    // Destroyed in reverse: the link (no more frames), the slots, then the callbacks,
    // which deliver what is still queued before their thread ends.
    DriverCallbackQueue callbacks;
    DriverSlotTable slots;
    DriverLinkClient link;
};

// Not a unique_ptr: when the process ends, Windows ends the driver's threads before the
// DLL's static destructors run, and joining them there would never return. The driver is
// deleted on DRV_FREE, or with the process.
std::mutex driverMutex;
Driver* driver = nullptr;
bool linkStarted = false;

std::uint16_t linkPort()
{
    char text[16] {};
    const auto length = GetEnvironmentVariableA (DriverLinkProtocol::portVariable, text, sizeof (text));

    if (length > 0 && length < sizeof (text))
    {
        const auto value = std::strtoul (text, nullptr, 10);

        if (value > 0 && value < 65536)
            return (std::uint16_t) value;
    }

    return DriverLinkProtocol::defaultPort;
}

/** The driver, with its link started on WinMM's first message; nothing before DRV_LOAD. */
Driver* running()
{
    const std::lock_guard<std::mutex> guard (driverMutex);

    if (driver != nullptr && ! linkStarted)
    {
        linkStarted = true;
        driver->link.start();
    }

    return driver;
}
} // namespace

extern "C" __declspec(dllexport) LRESULT WINAPI DriverProc (DWORD_PTR id, HDRVR handle, UINT message, LPARAM param1, LPARAM param2)
{
    switch (message)
    {
        case DRV_LOAD:
        {
            const std::lock_guard<std::mutex> guard (driverMutex);

            if (driver == nullptr)
                driver = new Driver (linkPort());

            return 1;
        }
        case DRV_FREE:
        {
            std::unique_ptr<Driver> ending;

            {
                const std::lock_guard<std::mutex> guard (driverMutex);
                ending.reset (std::exchange (driver, nullptr));
                linkStarted = false;
            }

            return 1;
        }
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_OPEN:
        case DRV_CLOSE:
            return 1;
        default:
            return DefDriverProc (id, handle, message, param1, param2);
    }
}

extern "C" __declspec(dllexport) DWORD WINAPI modMessage (UINT device, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* d = running();
    return d != nullptr ? d->slots.outputMessage (device, message, param1, param2) : (DWORD) MMSYSERR_NODRIVER;
}

extern "C" __declspec(dllexport) DWORD WINAPI midMessage (UINT device, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* d = running();
    return d != nullptr ? d->slots.inputMessage (device, message, param1, param2) : (DWORD) MMSYSERR_NODRIVER;
}

// mmdevapi's side: a driver that is available (a priority above "unavailable") and lists
// no audio endpoints.
extern "C" __declspec(dllexport) int WINAPI GetPriority()
{
    return 3;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetEndpointIDs (int, WCHAR*** ids, GUID** guids, UINT* count, UINT* defaultIndex)
{
    *ids = nullptr;
    *guids = nullptr;
    *count = 0;
    *defaultIndex = 0;
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetAudioEndpoint (void*, void*, void**)
{
    return E_NOTIMPL;
}

extern "C" __declspec(dllexport) HRESULT WINAPI GetAudioSessionManager (void*, void**)
{
    return E_NOTIMPL;
}
