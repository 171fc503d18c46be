#include "sim/KeyboardProcess.h"

#include "sim/DriverLinkServer.h"

#include <cstdlib>

#if JUCE_WINDOWS
#include <windows.h>
#endif

namespace
{
constexpr int answerTimeoutMs = 30000;
}

juce::File KeyboardProcess::besideThisProgram()
{
#if JUCE_WINDOWS
    const auto name = "morelta-sim-keyboard.exe";
#else
    const auto name = "morelta-sim-keyboard";
#endif
    return juce::File::getSpecialLocation (juce::File::currentExecutableFile).getSiblingFile (name);
}

KeyboardProcess::KeyboardProcess (const juce::StringArray& options, int port, const juce::File& executable)
{
    juce::StringArray command { executable.getFullPathName(), "--link-port", juce::String (port) };
    command.addArray (options);

    if (! process.start (command, juce::ChildProcess::wantStdOut))
        return;

    // Its first line names the port it listens on; it prints little after that, so the
    // pipe never fills.
    char c = 0;

    while (process.readProcessOutput (&c, 1) == 1 && c != '\n')
        if (c != '\r')
            output += c;

    if (output.startsWith ("link-port "))
        linkPort = output.fromFirstOccurrenceOf (" ", false, false).trim().getIntValue();
}

KeyboardProcess::~KeyboardProcess()
{
    quit();
}

void KeyboardProcess::exportLinkPort() const
{
    const auto value = juce::String (linkPort);
#if JUCE_WINDOWS
    SetEnvironmentVariableA (DriverLinkProtocol::portVariable, value.toRawUTF8());
#else
    setenv (DriverLinkProtocol::portVariable, value.toRawUTF8(), 1);
#endif
}

juce::String KeyboardProcess::checkRequest (bool emergencyUpdate, const juce::File& backupFolder)
{
    juce::String request ("check");

    if (emergencyUpdate)
        request << "\nemergency";

    if (backupFolder != juce::File())
        request << "\nbackup=" << backupFolder.getFullPathName();

    return request;
}

juce::String KeyboardProcess::check (bool emergencyUpdate, const juce::File& backupFolder) const
{
    const auto answer = DriverLinkServer::requestControl (linkPort, checkRequest (emergencyUpdate, backupFolder), answerTimeoutMs);

    if (! answer.has_value())
        return "the keyboard process did not answer on port " + juce::String (linkPort);

    return answer->first == 0 ? juce::String() : answer->second;
}

bool KeyboardProcess::quit()
{
    if (! process.isRunning())
        return true;

    DriverLinkServer::requestControl (linkPort, "quit", answerTimeoutMs);

    // Killed only when it does not end by itself: a process, not a thread of ours.
    return process.waitForProcessToFinish (answerTimeoutMs) || ! process.kill();
}
