// morelta-sim-keyboard: a simulated keyboard on virtual MIDI ports in a process of its own,
// whose ports our WinMM test driver (winemorelta.drv, under Wine) shows to every program,
// over a TCP link on 127.0.0.1. Its first line of output is "link-port N".
// As a client of a running one it asks for a check of the keyboard's state (--check) or
// prints what the keyboard has seen so far (--log) or ends it (--quit).

#include "engine/BackupFolder.h"
#include "sim/DriverLinkServer.h"
#include "sim/KeyboardProcess.h"
#include "sim/UpdateResultCheck.h"

#include <iostream>

namespace
{
const char* const usage = R"(usage: morelta-sim-keyboard [options]
  --link-port N             the TCP port on 127.0.0.1 the driver connects to (47391);
                            0: a free one; the first line printed is "link-port N"
  --model 25|49|61          the keyboard's model (49)
  --layout class|private|new  how its ports are named (class)
  --update-mode-layout class|new  how they are named in its update mode (as outside it)
  --firmware X.YY           its firmware version (1.16)
  --emergency               started in its update mode
  --profile fast|realistic  its timing profile (fast)
  --link-rate BYTES_PER_S   how fast bytes cross the USB link (0: at once)
  --seed N                  the seed its user data is made from (1)
  --fault FAULT             a fault of the keyboard, e.g. unplug@app-block:3 (repeatable)
  --driver-fault FAULT      a fault of the driver's side (repeatable): busy[=COUNT],
                            slow-done=MS@BLOCK, refuse@BLOCK, never-done@BLOCK, or
                            unplug@POINT as --fault; BLOCK is app-block:N or assets-block:N
  --trace FILE              write the keyboard's traffic as JSON Lines
  --help                    this text
as a client of the keyboard process on --link-port:
  --check [--emergency] [--backup-folder DIR]
                            checks that the keyboard holds what an update must leave
                            (the newest backup of its model when no folder is given);
                            exits 0 only when it does
  --log                     prints the keyboard's log so far, one event a line
  --quit                    ends it
)";

struct Options
{
    SimulatedKeyboard::Settings keyboard;
    std::vector<DriverFault> driverFaults;
    int linkPort = DriverLinkProtocol::defaultPort;
    bool emergency = false, check = false, quit = false, log = false;
    juce::File backupFolder;
};

std::optional<Options> parse (const juce::StringArray& args, juce::String& problem)
{
    Options o;
    int linkRate = -1;

    for (int i = 0; i < args.size(); ++i)
    {
        const auto flagIndex = i;
        const auto a = args[i];
        const auto value = args[i + 1];
        auto takesValue = [&]
        { ++i; return value.isNotEmpty(); };

        if (a == "--emergency")
            o.emergency = true;
        else if (a == "--check")
            o.check = true;
        else if (a == "--quit")
            o.quit = true;
        else if (a == "--log")
            o.log = true;
        else if (SimulatedKeyboard::Settings::isOption (a) && takesValue() && o.keyboard.applyOption (a, value))
            continue;
        else if (a == "--link-port" && takesValue() && value.containsOnly ("0123456789") && value.getIntValue() < 65536)
            o.linkPort = value.getIntValue();
        else if (a == "--link-rate" && takesValue() && value.containsOnly ("0123456789"))
            linkRate = value.getIntValue();
        else if ((a == "--fault" || (a == "--driver-fault" && value.startsWith ("unplug@"))) && takesValue() && KeyboardFault::parse (value).has_value())
            o.keyboard.faults.push_back (*KeyboardFault::parse (value));
        else if (a == "--driver-fault" && takesValue() && DriverFault::parse (value).has_value())
            o.driverFaults.push_back (*DriverFault::parse (value));
        else if (a == "--trace" && takesValue())
            o.keyboard.traceFile = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        else if (a == "--backup-folder" && takesValue())
            o.backupFolder = juce::File::getCurrentWorkingDirectory().getChildFile (value);
        else
        {
            problem = "cannot use '" + args.joinIntoString (" ", flagIndex, i - flagIndex + 1) + "'";
            return {};
        }
    }

    if (linkRate >= 0)
        o.keyboard.timing.linkBytesPerSecond = linkRate;

    o.keyboard.startsInUpdateMode = o.emergency;
    return o;
}

/** The client's request: "check", "log" or "quit"; a check with "emergency" and
    "backup=DIR" lines.
*/
juce::String controlRequestOf (const Options& o)
{
    if (o.quit)
        return "quit";

    if (o.log)
        return "log";

    return KeyboardProcess::checkRequest (o.emergency, o.backupFolder);
}

/** The keyboard's side of the check of an update; empty when it holds what it must. */
juce::String checkKeyboard (const SimulatedKeyboard& keyboard, const juce::StringArray& lines)
{
    const auto emergency = lines.contains ("emergency");
    juce::File folder;

    for (auto& line : lines)
        if (line.startsWith ("backup="))
            folder = juce::File (line.fromFirstOccurrenceOf ("=", false, false));

    if (folder == juce::File() && ! emergency)
    {
        const auto userData = juce::File::getSpecialLocation (juce::File::userApplicationDataDirectory);

        for (int model = HardwareModel::morelta25; model <= HardwareModel::morelta61; ++model)
            if (keyboard.getModelName() == HardwareModel::nameOf (model))
                if (const auto newest = BackupFolder::findNewest (userData, model))
                    folder = newest->folder;

        if (folder == juce::File())
            return "no backup of " + keyboard.getModelName() + " under " + BackupFolder::modelFolder (userData, HardwareModel::unknown).getFullPathName();
    }

    return UpdateResultCheck::check (keyboard, emergency, folder);
}
} // namespace

int main (int argc, char** argv)
{
    juce::StringArray args;

    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    if (args.contains ("--help"))
    {
        std::cout << usage;
        return 0;
    }

    juce::String problem;
    const auto options = parse (args, problem);

    if (! options.has_value())
    {
        std::cerr << "morelta-sim-keyboard: " << problem << "\n"
                  << usage;
        return 2;
    }

    if (options->check || options->quit || options->log)
    {
        const auto answer = DriverLinkServer::requestControl (options->linkPort, controlRequestOf (*options), 30000);

        if (! answer.has_value())
        {
            std::cout << "no keyboard process answered on port " << options->linkPort << std::endl;
            return 1;
        }

        std::cout << answer->second << std::endl;
        return answer->first;
    }

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    auto keyboard = std::make_unique<SimulatedKeyboard> (ports, options->keyboard);
    juce::WaitableEvent quit;

    DriverLinkServer server (ports, options->driverFaults, [&] (const juce::String& request) -> std::pair<int, juce::String>
                             {
                                 const auto lines = juce::StringArray::fromLines (request);

                                 if (lines[0] == "log")
                                     return { 0, keyboard->getLog().joinIntoString ("\n") };

                                 if (lines[0] == "quit")
                                 {
                                     quit.signal();
                                     return { 0, "quitting" };
                                 }

                                 if (lines[0] != "check")
                                     return { 2, "unknown request '" + lines[0] + "'" };

                                 const auto wrong = checkKeyboard (*keyboard, lines);
                                 return { wrong.isEmpty() ? 0 : 1, wrong.isEmpty() ? "passed: the keyboard runs firmware " + juce::String (keyboard->getFirmwareVersion(), 2) + " with both images as embedded" : "FAILED: " + wrong }; });

    if (! server.start (options->linkPort))
    {
        std::cout << "cannot listen on 127.0.0.1 port " << options->linkPort << std::endl;
        return 1;
    }

    std::cout << "link-port " << server.getPort() << std::endl;
    std::cout << "keyboard " << keyboard->getModelName() << ", firmware " << juce::String (options->keyboard.firmwareVersion, 2)
              << (options->emergency ? ", in its update mode" : "") << std::endl;

    quit.wait();
    return 0;
}
