#!/usr/bin/env bash
# How much of a core the updater takes at rest, under Xvfb, each sampled over SECONDS
# (30 unless told) once it has settled:
#   - the updater itself, with no keyboard (on Linux its ports are ALSA's, here none);
#   - the demo (the same application on virtual ports, with the simulated keyboard inside
#     it) once the window shows the keyboard's firmware version; it also says how soon
#     after the keyboard was plugged in the version was shown.
# Also prints each one's threads and resident memory.
#
#   bench/idle-cpu.sh [SECONDS]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}

"$root/scripts/setup.sh" >/dev/null
dir=$("$root/scripts/build.sh" release --target MoreltaFirmwareUpdater MoreltaFirmwareUpdaterDemo)
export UPDATER="$dir/MoreltaFirmwareUpdater_artefacts/Release/MORELTA Firmware Updater"
export DEMO="$dir/MoreltaFirmwareUpdaterDemo_artefacts/Release/MORELTA Firmware Updater Demo"
export SECONDS_TO_SAMPLE=$seconds

# Each run in a home of its own: the updater keeps one instance per user.
exec xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" bash -c '
set -euo pipefail
ticksPerSecond=$(getconf CLK_TCK)

# user + system time of the whole process, in clock ticks
ticks() { awk "{ print \$14 + \$15 }" "/proc/$1/stat"; }

sample() {
    local name=$1 pid=$2 before after
    before=$(ticks "$pid")
    sleep "$SECONDS_TO_SAMPLE"
    after=$(ticks "$pid")
    awk -v n="$name" -v t=$((after - before)) -v hz="$ticksPerSecond" -v s="$SECONDS_TO_SAMPLE" \
        -v threads="$(ls "/proc/$pid/task" | wc -l)" -v rss="$(awk "/VmRSS/ { print \$2 }" "/proc/$pid/status")" \
        "BEGIN { printf \"%s: %.2f %% of a core over %d s, %d threads, %.1f MB resident\n\", n, 100 * t / hz / s, s, threads, rss / 1024 }"
}

home=$(mktemp -d)
HOME=$home "$UPDATER" >/dev/null 2>&1 &
updater=$!
sleep 5
sample "no keyboard (the updater)" "$updater"
kill "$updater"; wait "$updater" 2>/dev/null || true

log=$(mktemp)
HOME=$home "$DEMO" >"$log" 2>&1 &
demo=$!
for _ in $(seq 1 300); do
    grep -q "the window shows firmware" "$log" && break
    sleep 0.1
done
grep "the window shows firmware" "$log" | sed "s/^ *[0-9.]* s  /keyboard found: /"
sleep 3
sample "a keyboard whose version is shown (the demo)" "$demo"
kill "$demo"; wait "$demo" 2>/dev/null || true
rm -rf "$home" "$log"
'
