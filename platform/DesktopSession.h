#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

/** What the updater asks of the desktop while an update runs, for its main window: that
    the session (shut down, restart, log off) does not end under the update, and the
    update's progress on the window's taskbar button.

    On Windows, Win32DesktopSession; elsewhere nothing is asked (NoDesktopSession).
    Everything runs on the message thread.
*/
class DesktopSession : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<DesktopSession>;

    enum class Progress
    {
        none,    // nothing shown
        running, // the value, in the normal colour
        failed   // the error state
    };

    ~DesktopSession() override = default;

    /** The window to act for, once it is on the desktop; null before it goes. */
    virtual void attach (juce::Component* window) = 0;

    /** While blocked, the system's question whether the session may end is answered
        no, without an alert, and Windows shows the reason; false when the system did not
        take the reason (or has none to take).
    */
    virtual bool setSessionEndBlocked (bool blocked, const juce::String& reason) = 0;

    /** The taskbar button's progress, value 0 to 1; false where there is none. */
    virtual bool showProgress (Progress state, double value) = 0;

    /** For the platform this is built for. */
    static Ptr createForPlatform();
};

/** Where the desktop offers none of this. */
class NoDesktopSession final : public DesktopSession
{
public:
    NoDesktopSession() = default;

    void attach (juce::Component*) override {}
    bool setSessionEndBlocked (bool, const juce::String&) override { return false; }
    bool showProgress (Progress, double) override { return false; }

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (NoDesktopSession)
};
