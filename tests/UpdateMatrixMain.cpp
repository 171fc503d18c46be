// morelta-matrix: every kind of run, under every naming of the keyboard's ports, with every
// fault of a set, each case with the end it must reach: completed with the keyboard's own
// data back, or the named error, or a wait that explains itself; and in every end nothing
// sent that the end forbids. Each case is one headless update (morelta-sim-update beside
// this program), which checks its end on the keyboard's side; they run side by side.

#include "engine/EngineTypes.h"
#include "sim/UpdateResultCheck.h"

#include <iostream>
#include <set>

namespace
{
const char* const usage = R"(usage: morelta-matrix [options]
  --all          every case: each kind of run x each naming x each fault
  --pairwise     a covering subset that meets every value of each axis with every value
                 of each other axis at least once (the default)
  --sample N     N cases spread over the pairwise subset
  --cases I,J,.. only these of the cases chosen (as --list numbers them)
  --jobs N       updates side by side (16)
  --list         print the cases without running them
  --help         this text
)";

enum class Kind
{
    normal,
    emergency,
    normalTriedAgain,
    emergencyTriedAgain,
    backupRestore
};

const char* const kindNames[] = { "normal", "emergency", "normal, tried again", "emergency, tried again", "backup restore" };

struct Naming
{
    const char* name;
    const char* options;
    bool renamedInUpdateMode;
};

const Naming namings[] = {
    { "class", "--layout class", false },
    { "class, renamed in update mode", "--layout class --update-mode-layout new", true },
    { "numbered class", "--layout class --port-number 2", false },
    { "numbered class, renamed in update mode", "--layout class --port-number 2 --update-mode-layout new", true },
    { "private", "--layout private", false },
    { "private, renamed in update mode", "--layout private --update-mode-layout class", true },
    { "newer style", "--layout new", false },
    { "newer style, renamed in update mode", "--layout new --update-mode-layout class", true },
};

/** Where in a run a fault strikes: a run that never gets there is not touched by it. */
enum class Step
{
    none,
    backup,
    entry, // Enter Update Mode: normal runs only
    transfer,
    restart,
    restore,
    follow // where the keyboard must be found under names not known before
};

/** How a case must end: completed, with an error, or waiting with a notice. */
struct End
{
    enum What
    {
        completes,
        error,
        waits
    } what = completes;
    const char* name = ""; // the error or the notice

    juce::String describe() const { return what == completes ? juce::String ("completed") : (what == error ? "error " : "waits, ") + juce::String (name); }
};

const End completes { End::completes };

const char* const secondKeyboard = "second keyboard plugged in";

End fails (const char* error) { return { End::error, error }; }
End waitsNotBack() { return { End::waits, "notBack" }; }

struct Fault
{
    const char* name;
    const char* option; // the runner's, for this fault
    Step step;
    End once;       // the end of a run that tries nothing again
    End triedAgain; // the end when "Try again" is answered once
    End inCheck {}; // for a fault of the backup's reads: where the check of a backup restore meets it
};

const Fault faults[] = {
    { "none", "", Step::none, completes, completes },
    { "lost write, first app block", "--fault drop@app-block:0", Step::transfer, fails ("firmwareNotConfirmed"), completes },
    { "lost write, last app block", "--fault drop@app-block:1590", Step::transfer, fails ("firmwareNotConfirmed"), completes },
    { "lost write, first assets block", "--fault drop@assets-block:0", Step::transfer, fails ("firmwareNotConfirmed"), completes },
    { "lost write, last assets block", "--fault drop@assets-block:7910", Step::transfer, fails ("firmwareNotConfirmed"), completes },
    { "doubled Preset Data", "--fault double@preset:3:100", Step::backup, completes, completes },
    { "lost Global Reply", "--fault drop@global:6", Step::backup, completes, completes },
    { "Preset Data doubled at every read", "--fault double@preset:3:100,repeat", Step::backup, fails ("presetTimeout"), fails ("presetTimeout"), fails ("restoreIncomplete") },
    { "unplugged in the backup", "--fault unplug@preset:5:100", Step::backup, fails ("presetTimeout"), fails ("presetTimeout"), fails ("deviceUnavailable") },
    { "unplugged and back in the backup", "--fault unplug=2000@preset:5:100", Step::backup, fails ("presetTimeout"), fails ("presetTimeout"), fails ("deviceUnavailable") },
    { "unplugged in the transfer", "--fault unplug@app-block:800", Step::transfer, fails ("deviceUnavailable"), waitsNotBack() },
    { "unplugged and back in the transfer", "--fault unplug=3000@app-block:800", Step::transfer, fails ("deviceUnavailable"), completes },
    { "unplugged in the restart", "--fault no-return@reboot", Step::restart, waitsNotBack(), waitsNotBack() },
    { "unplugged and back in the restart", "--fault unplug=3000@reboot", Step::restart, completes, completes },
    { "lost restore message", "--fault drop@restore:3000", Step::restore, completes, completes },
    { "a byte stored changed", "--fault corrupt@restore:500", Step::restore, completes, completes },
    { "a place that never keeps its byte", "--fault corrupt@restore:500,repeat", Step::restore, fails ("restoreIncomplete"), fails ("restoreIncomplete") },
    { "unplugged in the restore", "--fault unplug@restore:3000", Step::restore, fails ("deviceUnavailable"), fails ("deviceUnavailable") },
    { "unplugged and back in the restore", "--fault unplug=2000@restore:3000", Step::restore, fails ("deviceUnavailable"), fails ("deviceUnavailable") },
    { "unplugged and back in the restore, put back", "--fault unplug=2000@restore:3000 --put-back 1", Step::restore, completes, completes },
    { "silent restart", "--fault unseen@reboot", Step::restart, completes, completes },
    { "bounce at update mode", "--fault bounce=800@update-mode", Step::entry, completes, completes },
    { secondKeyboard, "", Step::follow, { End::waits, "severalKeyboards" }, { End::waits, "severalKeyboards" } },
};

bool reaches (Kind kind, const Naming& naming, Step step)
{
    switch (step)
    {
        // A keyboard renamed in its update mode is found under other names when it enters
        // it, and when it leaves it if its own were never seen (an emergency update); a
        // second keyboard is plugged in then. A normal update tried again knows them.
        case Step::follow:
            return naming.renamedInUpdateMode && (kind == Kind::normal || kind == Kind::emergency || kind == Kind::emergencyTriedAgain);
        case Step::none:
            return true;
        // The backup's reads, and those of the check after a backup restore.
        case Step::backup:
            return kind == Kind::normal || kind == Kind::normalTriedAgain || kind == Kind::backupRestore;
        case Step::entry:
            return kind == Kind::normal || kind == Kind::normalTriedAgain;
        case Step::transfer:
        case Step::restart:
            return kind != Kind::backupRestore;
        case Step::restore:
            return kind == Kind::normal || kind == Kind::normalTriedAgain || kind == Kind::backupRestore;
    }

    return false;
}

struct Case
{
    Kind kind;
    int naming, fault;

    const Fault& theFault() const { return faults[fault]; }

    End expectedEnd() const
    {
        if (! reaches (kind, namings[naming], theFault().step))
            return completes;

        if (kind == Kind::backupRestore && theFault().step == Step::backup)
            return theFault().inCheck;

        return kind == Kind::normalTriedAgain || kind == Kind::emergencyTriedAgain ? theFault().triedAgain : theFault().once;
    }

    juce::String describe() const
    {
        return juce::String (kindNames[(int) kind]) + " | " + namings[naming].name + " | " + theFault().name;
    }

    /** The runner's options for this case; the model and the firmware vary with it. */
    juce::StringArray options (int index, const juce::File& folder) const
    {
        const auto model = juce::StringArray { "25", "49", "61" }[index % 3];
        const auto firmware = index % 2 == 0 ? "1.15" : "1.16";
        juce::StringArray o = juce::StringArray::fromTokens (juce::String ("--model ") + model + " " + namings[naming].options + " " + theFault().option, false);
        o.removeEmptyStrings();
        o.addArray ({ "--data-dir", folder.getFullPathName(), "--restart-ms", "1500", "--wait-bounds", "8000,8000,8000", "--timeout", "400" });

        if (kind == Kind::emergency || kind == Kind::emergencyTriedAgain)
            o.add ("--emergency");

        if (kind == Kind::normalTriedAgain || kind == Kind::emergencyTriedAgain)
            o.addArray ({ "--try-again", "1" });

        if (kind == Kind::backupRestore)
        {
            // Into a keyboard that runs the new firmware, with data of its own.
            const auto backup = folder.getChildFile ("backup");
            UpdateResultCheck::writeBackupFolder (backup, SimulatedKeyboard::makeUserData (77), (juce::uint8) (model == "25" ? 0x2F : (model == "49" ? 0x2E : 0x30)), juce::String (firmware).getDoubleValue());
            o.addArray ({ "--firmware", "1.25", "--restore-backup", backup.getFullPathName() });
        }
        else
        {
            o.addArray ({ "--firmware", firmware });
        }

        // Where the run looks for the keyboard under other names: entering the update mode,
        // or coming back from it.
        if (juce::String (theFault().name) == secondKeyboard)
            o.addArray ({ "--second-keyboard", kind == Kind::normal ? "erasingFirmware" : (kind == Kind::backupRestore ? "restoringPresets" : "waitingForReboot") });

        const auto end = expectedEnd();

        if (end.what == End::error)
            o.addArray ({ "--expect-error", end.name });
        else if (end.what == End::waits)
            o.addArray ({ "--expect-wait", end.name });

        return o;
    }
};

std::vector<Case> everyCase()
{
    std::vector<Case> cases;

    for (int k = 0; k < (int) std::size (kindNames); ++k)
        for (int n = 0; n < (int) std::size (namings); ++n)
            for (int f = 0; f < (int) std::size (faults); ++f)
                cases.push_back ({ (Kind) k, n, f });

    return cases;
}

/** Chosen greedily from every case: each next case is the one that meets most pairs of
    values not met yet, until every pair of every two axes has been met.
*/
std::vector<Case> pairwise()
{
    using Pair = std::tuple<int, int, int>; // which two axes, and the two values
    auto pairsOf = [] (const Case& c)
    {
        return std::vector<Pair> { { 0, (int) c.kind, c.naming }, { 1, (int) c.kind, c.fault }, { 2, c.naming, c.fault } };
    };

    const auto all = everyCase();
    std::set<Pair> unmet;

    for (auto& c : all)
        for (auto& p : pairsOf (c))
            unmet.insert (p);

    std::vector<Case> chosen;

    while (! unmet.empty())
    {
        const Case* best = nullptr;
        int bestCount = 0;

        for (auto& c : all)
        {
            int count = 0;

            for (auto& p : pairsOf (c))
                count += (int) unmet.count (p);

            if (count > bestCount)
                best = &c, bestCount = count;
        }

        for (auto& p : pairsOf (*best))
            unmet.erase (p);

        chosen.push_back (*best);
    }

    return chosen;
}

std::vector<Case> spread (const std::vector<Case>& cases, size_t count)
{
    std::vector<Case> sample;

    for (size_t i = 0; i < count && i < cases.size(); ++i)
        sample.push_back (cases[i * cases.size() / count]);

    return sample;
}

struct Running
{
    size_t index;
    std::unique_ptr<juce::ChildProcess> process;
    double startMs;
};

juce::File runner()
{
    const auto here = juce::File::getSpecialLocation (juce::File::currentExecutableFile).getParentDirectory();
    return here.getChildFile (juce::File::getSpecialLocation (juce::File::currentExecutableFile).getFileExtension() == ".exe" ? "morelta-sim-update.exe" : "morelta-sim-update");
}

/** Runs the cases, so many side by side; prints each end as it comes and what failed. */
int run (const std::vector<Case>& cases, int jobs)
{
    const juce::TemporaryFile root;
    const auto started = juce::Time::getMillisecondCounterHiRes();
    std::vector<Running> running;
    std::map<juce::String, int> ends;
    size_t next = 0;
    int failed = 0;

    while (next < cases.size() || ! running.empty())
    {
        while (next < cases.size() && (int) running.size() < jobs)
        {
            const auto folder = root.getFile().getChildFile (juce::String ((int) next));
            folder.createDirectory();
            juce::StringArray command { runner().getFullPathName() };
            command.addArray (cases[next].options ((int) next, folder));
            auto process = std::make_unique<juce::ChildProcess>();

            if (! process->start (command))
                std::cout << "cannot start " << command.joinIntoString (" ") << std::endl;

            running.push_back ({ next++, std::move (process), juce::Time::getMillisecondCounterHiRes() });
        }

        juce::Thread::sleep (100);

        for (auto it = running.begin(); it != running.end();)
        {
            if (it->process->isRunning())
            {
                ++it;
                continue;
            }

            const auto& c = cases[it->index];
            const auto output = it->process->readAllProcessOutput();
            const auto ok = it->process->getExitCode() == 0;
            const auto seconds = (juce::Time::getMillisecondCounterHiRes() - it->startMs) / 1000.0;
            ++ends[c.expectedEnd().describe()];
            failed += ok ? 0 : 1;
            std::cout << (ok ? "ok     " : "FAILED ") << juce::String ((int) it->index).paddedLeft (' ', 3) << "  " << c.describe() << "  ->  "
                      << c.expectedEnd().describe() << "  (" << juce::String (seconds, 1) << " s)" << std::endl;

            if (! ok)
                std::cout << "    " << juce::StringArray::fromLines (output.trimEnd()).joinIntoString ("\n    ") << std::endl;

            it = running.erase (it);
        }
    }

    std::cout << "\n"
              << cases.size() << " cases in " << juce::String ((juce::Time::getMillisecondCounterHiRes() - started) / 1000.0, 0) << " s, " << jobs << " side by side; ends:";

    for (auto& [end, count] : ends)
        std::cout << "  " << end << " " << count;

    std::cout << "\n"
              << (failed == 0 ? juce::String ("every case ended as it must") : juce::String (failed) + " cases did not end as they must") << std::endl;
    root.getFile().deleteRecursively();
    return failed == 0 ? 0 : 1;
}
} // namespace

int main (int argc, char** argv)
{
    const juce::StringArray args (argv + 1, argc - 1);

    if (args.contains ("--help"))
    {
        std::cout << usage;
        return 0;
    }

    auto cases = args.contains ("--all") ? everyCase() : pairwise();
    const auto sampleAt = args.indexOf ("--sample"), jobsAt = args.indexOf ("--jobs");

    if (sampleAt >= 0)
        cases = spread (cases, (size_t) args[sampleAt + 1].getIntValue());

    if (const auto casesAt = args.indexOf ("--cases"); casesAt >= 0)
    {
        std::vector<Case> chosen;

        for (auto& index : juce::StringArray::fromTokens (args[casesAt + 1], ",", {}))
            if (juce::isPositiveAndBelow (index.getIntValue(), (int) cases.size()))
                chosen.push_back (cases[(size_t) index.getIntValue()]);

        cases = chosen;
    }

    if (args.contains ("--list"))
    {
        for (size_t i = 0; i < cases.size(); ++i)
            std::cout << i << "  " << cases[i].describe() << "  ->  " << cases[i].expectedEnd().describe() << std::endl;

        std::cout << cases.size() << " cases of " << everyCase().size() << std::endl;
        return 0;
    }

    return run (cases, jobsAt >= 0 ? args[jobsAt + 1].getIntValue() : 16);
}
