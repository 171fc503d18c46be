#pragma once

#include "platform/DesktopSession.h"

/** The desktop session on Windows.

    The session's end: JUCE answers WM_QUERYENDSESSION by calling the application's
    systemRequestedQuit from inside the message, and ends the session if that quit; ours
    asks for a confirmation in a modal alert while an update runs, which Windows would
    wait on (or end the session under anyway). So while blocked, the window's procedure
    answers the query itself, with no, before JUCE sees it, and ShutdownBlockReasonCreate
    gives Windows the reason to show.

    The taskbar: ITaskbarList3 on the window's button.
*/
class Win32DesktopSession final : public DesktopSession
{
public:
    Win32DesktopSession();
    ~Win32DesktopSession() override;

    void attach (juce::Component* window) override;
    bool setSessionEndBlocked (bool blocked, const juce::String& reason) override;
    bool showProgress (Progress state, double value) override;

    /** Whether the query is answered no now. */
    bool isSessionEndBlocked() const noexcept { return blocked; }

private:
    struct Native;
    std::unique_ptr<Native> native;
    bool blocked = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Win32DesktopSession)
};
