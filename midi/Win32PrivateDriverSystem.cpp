#include "midi/Win32PrivateDriverSystem.h"

#include <windows.h>

namespace
{
// IOCTL_KS_PROPERTY: CTL_CODE (FILE_DEVICE_KS, 0, METHOD_NEITHER, FILE_ANY_ACCESS). The
// driver reads the request and writes captured bytes straight into the caller's memory.
constexpr DWORD ioctlKsProperty = 0x2F0003;

HKEY toKey (PrivateDriverSystem::Handle handle)
{
    return reinterpret_cast<HKEY> (handle);
}

HANDLE toHandle (PrivateDriverSystem::Handle handle)
{
    return reinterpret_cast<HANDLE> (handle);
}

PrivateDriverSystem::Handle fromHandle (HANDLE handle)
{
    return reinterpret_cast<PrivateDriverSystem::Handle> (handle);
}
} // namespace

//==============================================================================
PrivateDriverSystem::Handle Win32PrivateDriverSystem::openKey (const char* path)
{
    // The driver writes its keys through the 32-bit view of the registry.
    HKEY key = nullptr;

    if (RegOpenKeyExA (HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS)
        return 0;

    return reinterpret_cast<Handle> (key);
}

void Win32PrivateDriverSystem::closeKey (Handle key)
{
    RegCloseKey (toKey (key));
}

bool Win32PrivateDriverSystem::getSubkeyCount (Handle key, juce::uint32& count)
{
    DWORD subkeys = 0;

    if (RegQueryInfoKeyA (toKey (key), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;

    count = (juce::uint32) subkeys;
    return true;
}

bool Win32PrivateDriverSystem::getSubkeyName (Handle key, juce::uint32 index, char* name, juce::uint32& length)
{
    DWORD size = length;

    if (RegEnumKeyExA (toKey (key), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;

    length = (juce::uint32) size;
    return true;
}

bool Win32PrivateDriverSystem::getValue (Handle key, const char* valueName, juce::uint32& type, void* data, juce::uint32& size)
{
    DWORD valueType = 0, valueSize = size;

    const auto result = RegQueryValueExA (toKey (key), valueName, nullptr, &valueType, static_cast<LPBYTE> (data), &valueSize);
    type = (juce::uint32) valueType;
    size = (juce::uint32) valueSize;
    return result == ERROR_SUCCESS;
}

bool Win32PrivateDriverSystem::notifyOnChange (Handle key, Handle event)
{
    // The key itself only, not its subtree; asynchronous, signalling the event.
    return RegNotifyChangeKeyValue (toKey (key), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, toHandle (event), TRUE) == ERROR_SUCCESS;
}

//==============================================================================
PrivateDriverSystem::Handle Win32PrivateDriverSystem::openDevice (const char* path)
{
    const auto file = CreateFileA (path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return file == INVALID_HANDLE_VALUE ? 0 : fromHandle (file);
}

bool Win32PrivateDriverSystem::requestProperty (Handle device, const void* input, juce::uint32 inputSize, void* value, juce::uint32 valueSize, juce::uint32& bytesReturned)
{
    DWORD returned = 0;
    const auto ok = DeviceIoControl (toHandle (device), ioctlKsProperty, const_cast<void*> (input), inputSize, value, valueSize, &returned, nullptr);
    bytesReturned = (juce::uint32) returned;
    return ok != FALSE;
}

void Win32PrivateDriverSystem::closeDevice (Handle device)
{
    CloseHandle (toHandle (device));
}

//==============================================================================
PrivateDriverSystem::Handle Win32PrivateDriverSystem::createEvent()
{
    // Manual reset, not signalled.
    return fromHandle (CreateEventA (nullptr, TRUE, FALSE, nullptr));
}

void Win32PrivateDriverSystem::setEvent (Handle event)
{
    SetEvent (toHandle (event));
}

void Win32PrivateDriverSystem::resetEvent (Handle event)
{
    ResetEvent (toHandle (event));
}

bool Win32PrivateDriverSystem::waitForEvent (Handle event, int timeoutMs)
{
    return WaitForSingleObject (toHandle (event), timeoutMs < 0 ? INFINITE : (DWORD) timeoutMs) == WAIT_OBJECT_0;
}

void Win32PrivateDriverSystem::closeEvent (Handle event)
{
    CloseHandle (toHandle (event));
}

//==============================================================================
class Win32PrivateDriverSystem::Win32Thread final : public PrivateDriverSystem::Thread
{
public:
    Win32Thread (const juce::String& n, std::function<void()> f)
        : name (n)
        , function (std::move (f))
    {
        thread = CreateThread (nullptr, 0, &Win32Thread::threadMain, this, 0, nullptr);
    }

    ~Win32Thread() override
    {
        if (thread != nullptr)
        {
            WaitForSingleObject (thread, INFINITE);
            CloseHandle (thread);
        }
    }

    bool started() const noexcept { return thread != nullptr; }

    bool waitForExit (int timeoutMs) override
    {
        return thread == nullptr || WaitForSingleObject (thread, timeoutMs < 0 ? INFINITE : (DWORD) timeoutMs) == WAIT_OBJECT_0;
    }

private:
    static DWORD WINAPI threadMain (LPVOID parameter)
    {
        auto& self = *static_cast<Win32Thread*> (parameter);
        juce::Thread::setCurrentThreadName (self.name);
        self.function();
        return 0;
    }

    const juce::String name;
    const std::function<void()> function;
    HANDLE thread = nullptr;
};

std::unique_ptr<PrivateDriverSystem::Thread> Win32PrivateDriverSystem::startThread (const juce::String& name, std::function<void()> function)
{
    auto thread = std::make_unique<Win32Thread> (name, std::move (function));
    return thread->started() ? std::move (thread) : nullptr;
}

void Win32PrivateDriverSystem::sleep (int milliseconds)
{
    Sleep ((DWORD) milliseconds);
}
