#include "app/UpdateSessionGuard.h"

UpdateSessionGuard::UpdateSessionGuard (DesktopSession::Ptr s)
    : session (std::move (s))
{
}

void UpdateSessionGuard::statusChanged (int status)
{
    // By the status notified, not the engine's own: that may already have moved on.
    const auto busy = status != EngineStatus::idle && status != EngineStatus::completed;

    if (busy != blocking)
    {
        blocking = busy;
        session->setSessionEndBlocked (busy, reasonText);
    }

    if (busy)
    {
        failed = false;
        session->showProgress (DesktopSession::Progress::running, progress);
    }
    else if (status == EngineStatus::completed || ! failed)
    {
        session->showProgress (DesktopSession::Progress::none, 0.0);
    }
}

void UpdateSessionGuard::progressChanged (double value)
{
    progress = value;

    // The reset to 0 after a failure comes before the idle status: the error state stays.
    if (blocking && ! failed)
        session->showProgress (DesktopSession::Progress::running, value);
}

void UpdateSessionGuard::errorOccurred (int)
{
    failed = true;
    session->showProgress (DesktopSession::Progress::failed, 1.0);
}
