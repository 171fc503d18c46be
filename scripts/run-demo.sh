#!/usr/bin/env bash
# Sets up the machine, builds the updater and starts it on the virtual MIDI ports, with a
# simulated keyboard plugged in a moment later (a MORELTA49 at firmware 1.15 unless told
# otherwise): press "UPDATE FIRMWARE" and watch every step, with the real timing.
#
# Without a display, or with --autopilot, the updater presses the button itself once the
# keyboard shows, saves a picture of the window at each step into the folder it names,
# prints each step, checks the keyboard afterwards and exits 0 only if all went right.
# Without a display it runs under Xvfb.
#
#   scripts/run-demo.sh [--model 25|49|61] [--layout class|private] [--firmware X.YY]
#                       [--emergency] [--profile fast|realistic] [--autopilot]
#                       [--timeout SECONDS]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

autopilot=0
args=()
for a in "$@"; do
    if [ "$a" = "--autopilot" ]; then
        autopilot=1
    else
        args+=("$a")
    fi
done

"$root/scripts/setup.sh"
dir=$("$root/scripts/build.sh" release --target MoreltaFirmwareUpdaterDemo)
app="$dir/MoreltaFirmwareUpdaterDemo_artefacts/Release/MORELTA Firmware Updater Demo"

# A display counts only if its X server answers.
display=0
if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
    display=1
else
    autopilot=1
fi

if [ "$autopilot" = 1 ]; then
    shots="$dir/demo-screenshots/$(date +%Y%m%d-%H%M%S)"
    echo "pictures of the window go to $shots"
    args+=(--autopilot "$shots")
fi

if [ "$display" = 0 ]; then
    exec xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" "$app" "${args[@]}"
fi

exec "$app" "${args[@]}"
