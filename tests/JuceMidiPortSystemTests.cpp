#include "midi/JuceMidiPortSystem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

// The updater writes nothing to the console; on a machine without a MIDI sequencer ALSA
// would print an error line for every port enumeration of the poll.
TEST (JuceMidiPortSystem, ListingPortsPrintsNothing)
{
    const juce::TemporaryFile capture;
    const auto path = capture.getFile().getFullPathName().toStdString();

    fflush (stderr);
    const auto savedStderr = dup (STDERR_FILENO);
    const auto fd = open (path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE (fd, 0);
    dup2 (fd, STDERR_FILENO);
    close (fd);

    {
        JuceMidiPortSystem::Ptr ports = new JuceMidiPortSystem();

        for (int i = 0; i < 3; ++i)
        {
            ports->getInputNames();
            ports->getOutputNames();
        }

        // Nothing is listed here without hardware, and an index past the end opens nothing.
        EXPECT_EQ (ports->openOutput (ports->getOutputNames().size()), nullptr);
    }

    fflush (stderr);
    dup2 (savedStderr, STDERR_FILENO);
    close (savedStderr);

    EXPECT_EQ (capture.getFile().loadFileAsString(), "");
}
