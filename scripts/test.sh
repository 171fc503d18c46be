#!/usr/bin/env bash
# Sets up the machine, builds and runs every test.
#   scripts/test.sh                 the plain build
#   scripts/test.sh address|thread  the same tests under AddressSanitizer with
#                                   UndefinedBehaviorSanitizer, or ThreadSanitizer
#   scripts/test.sh windows         the Windows build under Wine and Xvfb: its tests,
#                                   its WinMM port system and our WinMM test driver,
#                                   whole updates over WinMM, the updater's window against
#                                   the Linux build's (scripts/check-windows-app.sh) and
#                                   its updates as a user runs them
#                                   (scripts/check-windows-update.sh)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-plain}

"$root/scripts/setup.sh"

if [ "$flavour" = windows ]; then
    dir=$("$root/scripts/build.sh" windows)
    linux=$("$root/scripts/build.sh" release --target MoreltaFirmwareUpdater)
    cd "$dir"
    # Three at once: the whole updates over WinMM spend most of their time in the
    # protocol's pauses. The window checks go one at a time, alone on the screen.
    # The screen holds the window at 200 % display scaling.
    exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$root/scripts/wine.sh" --session bash -c '
        ctest --output-on-failure --parallel 3 &&
        "$0/scripts/check-windows-app.sh" "$1" "$2/MoreltaFirmwareUpdater_artefacts/Release/MORELTA Firmware Updater" &&
        "$0/scripts/check-windows-update.sh" "$1"' \
        "$root" "$dir" "$linux"
fi
dir=$("$root/scripts/build.sh" "$flavour")

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

# Four at once on two cores: most of the suite's time is the protocol's own pauses and the
# keyboard's answers, not work, and the tests are built to hold under load.
cd "$dir"
ctest --output-on-failure --parallel 4
