#include "platform/Win32DesktopSession.h"

#include <windows.h>

#include <shobjidl.h>

namespace
{
// The one window whose procedure is ours, and JUCE's behind it.
HWND hookedWindow = nullptr;
WNDPROC juceProcedure = nullptr;
bool answerNo = false;

LRESULT CALLBACK sessionProcedure (HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // No modal alert inside the query: a plain no, and Windows shows the reason.
    if (message == WM_QUERYENDSESSION && answerNo)
        return FALSE;

    return CallWindowProcW (juceProcedure, hwnd, message, wParam, lParam);
}
} // namespace

struct Win32DesktopSession::Native
{
    HWND window = nullptr;
    ITaskbarList3* taskbar = nullptr;
    bool comInitialised = false;

    ~Native()
    {
        if (taskbar != nullptr)
            taskbar->Release();

        if (comInitialised)
            CoUninitialize();
    }

    ITaskbarList3* getTaskbar()
    {
        if (taskbar != nullptr || window == nullptr)
            return taskbar;

        // S_FALSE when the thread already has COM; RPC_E_CHANGED_MODE leaves it usable.
        comInitialised = SUCCEEDED (CoInitializeEx (nullptr, COINIT_APARTMENTTHREADED));

        if (FAILED (CoCreateInstance (CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3, reinterpret_cast<void**> (&taskbar))))
            taskbar = nullptr;
        else if (FAILED (taskbar->HrInit()))
        {
            taskbar->Release();
            taskbar = nullptr;
        }

        return taskbar;
    }
};

Win32DesktopSession::Win32DesktopSession()
    : native (std::make_unique<Native>())
{
}

Win32DesktopSession::~Win32DesktopSession()
{
    attach (nullptr);
}

void Win32DesktopSession::attach (juce::Component* component)
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (native->window != nullptr)
    {
        setSessionEndBlocked (false, {});
        showProgress (Progress::none, 0.0);

        if (hookedWindow == native->window)
        {
            SetWindowLongPtrW (hookedWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR> (juceProcedure));
            hookedWindow = nullptr;
        }
    }

    native->window = component != nullptr ? static_cast<HWND> (component->getWindowHandle()) : nullptr;

    if (native->window != nullptr && hookedWindow == nullptr)
    {
        hookedWindow = native->window;
        juceProcedure = reinterpret_cast<WNDPROC> (SetWindowLongPtrW (hookedWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR> (&sessionProcedure)));
    }
}

bool Win32DesktopSession::setSessionEndBlocked (bool shouldBlock, const juce::String& reason)
{
    JUCE_ASSERT_MESSAGE_THREAD

    if (native->window == nullptr || shouldBlock == blocked)
        return false;

    blocked = shouldBlock;
    answerNo = blocked && hookedWindow == native->window;

    // Windows 7 and later; the query is answered no whether or not it takes the reason.
    return blocked ? ShutdownBlockReasonCreate (native->window, reason.toWideCharPointer()) != FALSE
                   : ShutdownBlockReasonDestroy (native->window) != FALSE;
}

bool Win32DesktopSession::showProgress (Progress state, double value)
{
    JUCE_ASSERT_MESSAGE_THREAD
    auto* taskbar = native->getTaskbar();

    if (taskbar == nullptr)
        return false;

    const auto flags = state == Progress::running ? TBPF_NORMAL : (state == Progress::failed ? TBPF_ERROR : TBPF_NOPROGRESS);

    if (FAILED (taskbar->SetProgressState (native->window, flags)))
        return false;

    // The error state shows the bar full, in its colour.
    constexpr ULONGLONG total = 10000;
    const auto done = state == Progress::failed ? total : (ULONGLONG) juce::roundToInt (juce::jlimit (0.0, 1.0, value) * (double) total);
    return state == Progress::none || SUCCEEDED (taskbar->SetProgressValue (native->window, done, total));
}

DesktopSession::Ptr DesktopSession::createForPlatform()
{
    return new Win32DesktopSession();
}
