// A second process for the companion lock checks under Wine:
//   morelta_lock_probe try PATH            exits 0 if it could take the lock file, else 1
//   morelta_lock_probe hold PATH STOPFILE  takes it, prints "held", keeps it until STOPFILE
//                                          exists; exits 1 if it could not take it

#include "platform/ExclusiveFileLock.h"

#include <iostream>

int main (int argc, char** argv)
{
    const juce::String mode (argc > 1 ? argv[1] : "");

    if (! ((mode == "try" && argc == 3) || (mode == "hold" && argc == 4)))
    {
        std::cerr << "usage: morelta_lock_probe try PATH | hold PATH STOPFILE\n";
        return 2;
    }

    ExclusiveFileLock lock;

    if (! lock.acquire (argv[2]))
        return 1;

    if (mode == "hold")
    {
        std::cout << "held" << std::endl;
        const juce::File stop (juce::File::getCurrentWorkingDirectory().getChildFile (argv[3]));

        while (! stop.exists())
            juce::Thread::sleep (50);
    }

    return 0;
}
