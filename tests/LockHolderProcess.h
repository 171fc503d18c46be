#pragma once

#include <juce_core/juce_core.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test
{
/** Another process that holds a file the way the companion software does, until it
    is let go or destroyed.
*/
class LockHolderProcess
{
public:
    explicit LockHolderProcess (const juce::File& file)
    {
        int ready[2], release[2];

        if (pipe (ready) != 0 || pipe (release) != 0)
            return;

        const auto path = file.getFullPathName().toStdString();
        pid = fork();

        if (pid == 0)
        {
            // The child does only system calls: it shares nothing with the test.
            close (ready[0]);
            close (release[1]);
            const auto fd = open (path.c_str(), O_RDWR | O_CREAT, 0644);
            const char ok = (fd >= 0 && flock (fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
            [[maybe_unused]] auto w = write (ready[1], &ok, 1);
            char c;
            [[maybe_unused]] auto r = read (release[0], &c, 1); // returns when the parent closes it
            _exit (0);
        }

        close (ready[1]);
        close (release[0]);
        releaseFd = release[1];

        pollfd p { ready[0], POLLIN, 0 };
        char ok = 'n';

        if (poll (&p, 1, 5000) == 1 && read (ready[0], &ok, 1) == 1)
            holding = (ok == 'y');

        close (ready[0]);
    }

    ~LockHolderProcess() { letGo(); }

    bool isHolding() const noexcept { return holding; }

    void letGo()
    {
        if (releaseFd >= 0)
        {
            close (releaseFd);
            releaseFd = -1;
        }

        if (pid > 0)
        {
            int status = 0;
            waitpid (pid, &status, 0);
            pid = -1;
        }

        holding = false;
    }

private:
    pid_t pid = -1;
    int releaseFd = -1;
    bool holding = false;
};
} // namespace test
