// What the updater asks of Windows while an update runs, through Windows' own calls: the
// system kept awake, the session's end refused without an alert, the taskbar's progress.

#include "../TestHelpers.h"
#include "platform/ScopedSystemAwake.h"
#include "platform/Win32DesktopSession.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST (WindowsSession, TheSystemIsRequiredWhileTheScopeIsHeldAndReleasedAfter)
{
    // Each call gives the state before it: asking for the same state shows what is held.
    {
        const ScopedSystemAwake awake;
        const ScopedSystemAwake another;
        EXPECT_EQ (SetThreadExecutionState (ES_CONTINUOUS | ES_SYSTEM_REQUIRED), (EXECUTION_STATE) (ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
    }

    EXPECT_FALSE (ScopedSystemAwake::isHeld());
    EXPECT_EQ (SetThreadExecutionState (ES_CONTINUOUS), (EXECUTION_STATE) ES_CONTINUOUS);
}

TEST (WindowsSession, WhileBlockedTheSessionsEndIsRefusedWithoutAQuestionAndTheTaskbarTakesTheProgress)
{
    juce::DocumentWindow window ("session", juce::Colours::black, 0, true);
    window.setSize (200, 100);
    window.setVisible (true);
    const auto hwnd = static_cast<HWND> (window.getWindowHandle());
    ASSERT_NE (hwnd, nullptr);
    const auto juceProcedure = GetWindowLongPtrW (hwnd, GWLP_WNDPROC);

    DesktopSession::Ptr session = new Win32DesktopSession();
    auto& win32 = dynamic_cast<Win32DesktopSession&> (*session);
    session->attach (&window);

    // Not blocked, JUCE answers: with no application object, the session may end.
    EXPECT_NE (SendMessageW (hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);

    // Blocked: no, at once (JUCE would have asked the application, which asks the user).
    session->setSessionEndBlocked (true, "Updating the keyboard's firmware: a test.");
    EXPECT_TRUE (win32.isSessionEndBlocked());
    EXPECT_EQ (SendMessageW (hwnd, WM_QUERYENDSESSION, 0, 0), 0);
    EXPECT_EQ (SendMessageW (hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);

    // Windows' taskbar object takes each state (Wine's takes them without showing any).
    EXPECT_TRUE (session->showProgress (DesktopSession::Progress::running, 0.25));
    EXPECT_TRUE (session->showProgress (DesktopSession::Progress::failed, 1.0));
    EXPECT_TRUE (session->showProgress (DesktopSession::Progress::none, 0.0));

    session->setSessionEndBlocked (false, {});
    EXPECT_NE (SendMessageW (hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);

    // Let go, the window's procedure is JUCE's again.
    session->setSessionEndBlocked (true, "again");
    session->attach (nullptr);
    EXPECT_EQ (GetWindowLongPtrW (hwnd, GWLP_WNDPROC), juceProcedure);
    EXPECT_FALSE (win32.isSessionEndBlocked());
    EXPECT_NE (SendMessageW (hwnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);
}
