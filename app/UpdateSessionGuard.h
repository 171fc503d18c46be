#pragma once

#include "engine/ApplicationEngine.h"
#include "platform/DesktopSession.h"

/** Keeps the desktop session from ending while the engine is busy (an update or a
    backup restore), by the statuses it notifies, and shows the update's progress on the window's taskbar button: the
    error state after a failure, until the next update starts; nothing after the end.
*/
class UpdateSessionGuard final : public ApplicationEngine::Listener
{
public:
    /** The reason Windows shows beside the updater when it refuses to end the session. */
    static constexpr const char* reasonText = "Updating the keyboard's firmware: wait until it is complete, or the MORELTA keyboard may be left in an unusable state.";

    explicit UpdateSessionGuard (DesktopSession::Ptr session);

    void statusChanged (int status) override;
    void progressChanged (double progress) override;
    void errorOccurred (int error) override;
    void firmwareVersionChanged (double) override {}
    void hardwareModelChanged (int) override {}
    void emergencyModeChanged (bool) override {}

private:
    const DesktopSession::Ptr session;
    bool blocking = false, failed = false;
    double progress = 0.0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (UpdateSessionGuard)
};
