#include "platform/ExclusiveFileLock.h"

#if JUCE_WINDOWS
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

ExclusiveFileLock::~ExclusiveFileLock()
{
    release();
}

#if JUCE_WINDOWS

bool ExclusiveFileLock::acquire (const juce::String& path)
{
    release();

    auto narrowPath = path.toRawUTF8();
    handle = CreateFileA (narrowPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);

    if (handle == INVALID_HANDLE_VALUE)
        handle = CreateFileA (narrowPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

    return isHeld();
}

void ExclusiveFileLock::release()
{
    if (isHeld())
        CloseHandle (handle);

    handle = INVALID_HANDLE_VALUE;
}

bool ExclusiveFileLock::isHeld() const noexcept
{
    return handle != INVALID_HANDLE_VALUE;
}

#else

namespace
{
int openLocked (const char* path, int flags)
{
    auto fd = ::open (path, flags | O_CLOEXEC, 0644);

    if (fd < 0)
        return -1;

    if (::flock (fd, LOCK_EX | LOCK_NB) != 0)
    {
        ::close (fd);
        return -1;
    }

    return fd;
}
} // namespace

bool ExclusiveFileLock::acquire (const juce::String& path)
{
    release();

    auto narrowPath = path.toRawUTF8();
    descriptor = openLocked (narrowPath, O_WRONLY | O_CREAT | O_EXCL);

    if (descriptor < 0)
        descriptor = openLocked (narrowPath, O_RDONLY);

    return isHeld();
}

void ExclusiveFileLock::release()
{
    if (isHeld())
        ::close (descriptor);

    descriptor = -1;
}

bool ExclusiveFileLock::isHeld() const noexcept
{
    return descriptor >= 0;
}

#endif
