#!/usr/bin/env bash
# Sets up the machine, builds and runs every test.
#   scripts/test.sh                 the plain build
#   scripts/test.sh address|thread  the same tests under AddressSanitizer with
#                                   UndefinedBehaviorSanitizer, or ThreadSanitizer
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-plain}

"$root/scripts/setup.sh"
dir=$("$root/scripts/build.sh" "$flavour")

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"

cd "$dir"
ctest --output-on-failure --parallel 2
