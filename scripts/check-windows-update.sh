#!/usr/bin/env bash
# Whole updates with the Windows updater as a user runs it, over WinMM: our test driver
# (winemorelta.drv, which scripts/wine.sh installs in the prefix) carries every byte to a
# simulated MORELTA49 in a process of its own (morelta-sim-keyboard.exe). The updater
# runs as built, with no switch of ours: its placeholder firmware may go only to the ports
# of our test driver. For a normal and an emergency update:
#   - the keyboard process starts, then the updater, which finds the keyboard over WinMM;
#   - a click on UPDATE FIRMWARE (for the emergency update, a key for emergency mode first
#     and Return on the instructions) runs the update to its closing alert;
#   - the keyboard process then checks what it holds: both images as embedded, and after
#     a normal update its own user data back and the backup files holding it.
# A picture of each step is kept in WINDOWS_BUILD_DIR/update-shots.
#
#   scripts/check-windows-update.sh WINDOWS_BUILD_DIR [normal] [emergency]
#
# (both when none is named). Run it under Xvfb with the project's Wine prefix, as
# scripts/test.sh windows does. Ends with "N passed, N failed" and exits non-zero if any
# check failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
windowsBuild=$1
updater="$windowsBuild/MoreltaFirmwareUpdater_artefacts/Release/MORELTA Firmware Updater.exe"
keyboardExe="$windowsBuild/morelta-sim-keyboard.exe"
title="MORELTA Firmware Updater"
prefix=${WINEPREFIX:-${MORELTA_WINEPREFIX:-$root/build-windows/wine-prefix}}

shotsFolder=update-shots
# shellcheck source=windows-checks.sh
. "$root/scripts/windows-checks.sh"
# The updater's main window (400 x 311), waiting up to 60 s for it.
mainWindow() { findWindow "w == 400" 60; }

# A visible window of the updater's that is not its main window: an alert. Waits up to
# $1 seconds.
alertWindow() { findWindow "w != 400" "$1"; }

shot() { import -window "$1" "png:$shots/$2.png" 2>/dev/null || true; }
keyboard=
app=

keyboardSays() { "$root/scripts/wine.sh" "$keyboardExe" --link-port "$port" "$@" 2>/dev/null | tr -d '\r'; }

# Waits up to $2 seconds for the keyboard's log to hold a line matching $1.
keyboardLogShows() {
    local end=$((SECONDS + $2))
    while [ "$SECONDS" -lt "$end" ]; do
        keyboardSays --log | grep -q "$1" && return 0
        sleep 0.5
    done
    return 1
}

# One whole update: "normal" or "emergency". Its processes are in $keyboard and $app.
attempt() {
    local kind=$1 options=() window alert
    [ "$kind" = emergency ] && options+=(--emergency)

    "$root/scripts/wine.sh" "$keyboardExe" --link-port 0 "${options[@]}" >"$work/$kind-keyboard.log" 2>&1 &
    keyboard=$!
    pids+=("$keyboard")
    port=
    for _ in $(seq 1 150); do
        port=$(sed -n 's/^link-port \([0-9]*\).*/\1/p' "$work/$kind-keyboard.log" | tr -d '\r')
        [ -n "$port" ] && break
        sleep 0.2
    done
    [ -n "$port" ] || { echo "  the keyboard process did not start"; return 1; }

    # The driver inside the updater finds the keyboard process here, as it would find a
    # device: nothing the updater itself is told.
    MORELTA_TEST_DRIVER_PORT=$port "$root/scripts/wine.sh" "$updater" >"$work/$kind-updater.log" 2>&1 &
    app=$!
    pids+=("$app")
    window=$(mainWindow) || { echo "  no updater window"; return 1; }

    if [ "$kind" = normal ]; then
        # Asked over WinMM for its identity, the keyboard has answered: the window shows
        # its version.
        keyboardLogShows "identity request" 60 || { echo "  the updater never asked the keyboard for its identity over WinMM"; return 1; }
        sleep 3
    else
        # A keyboard in its update mode is asked nothing: give detection its first pass.
        sleep 3
        xdotool key --window "$window" e
        sleep 1
    fi
    shot "$window" "$kind-1-found"

    xdotool mousemove --window "$window" 281 278 click 1
    if [ "$kind" = emergency ]; then
        alert=$(alertWindow 20) || { echo "  no emergency instructions"; return 1; }
        shot "$alert" "$kind-2-instructions"
        xdotool key --window "$alert" Return
    fi

    sleep 8
    shot "$window" "$kind-3-under-way"

    alert=$(alertWindow 600) || { echo "  no alert at the end within 600 s"; return 1; }
    shot "$alert" "$kind-4-alert"
    shot "$window" "$kind-4-window"

    local checkOptions=()
    [ "$kind" = emergency ] && checkOptions+=(--emergency)
    keyboardSays --check "${checkOptions[@]}" | sed 's/^/  /'
    local verdict=${PIPESTATUS[0]}

    # The updater's own log of this update says how the updater saw it end: the alert
    # is not read, and a keyboard that holds the right things could still have been
    # told it failed.
    local log
    log=$(find "$prefix/drive_c/users" -path "*/AppData/Roaming/*" -name UpdateLog.txt -newer "$work/$kind-keyboard.log" | head -1)
    if [ -n "$log" ] && grep -q "ended: completed" "$log"; then
        echo "  passed: the updater's log says the update completed"
    else
        echo "  failed: the updater's log ${log:+($log) }does not say the update completed"
        verdict=1
    fi

    xdotool key --window "$alert" Return 2>/dev/null || true
    return "$verdict"
}

# Ends both processes, whatever the update came to: the next updater would find this one
# still running and end at once.
teardown() {
    [ -n "${port:-}" ] && keyboardSays --quit >/dev/null || true
    kill "$app" 2>/dev/null || true
    for _ in $(seq 1 50); do
        kill -0 "$keyboard" 2>/dev/null || break
        sleep 0.2
    done
    kill "$keyboard" 2>/dev/null || true
    wait "$keyboard" "$app" 2>/dev/null || true
    for _ in $(seq 1 100); do
        [ -z "$(windows)" ] && break
        sleep 0.2
    done
}

update() {
    local verdict=0
    attempt "$1" || verdict=$?
    teardown
    return "$verdict"
}

kinds=("${@:2}")
[ ${#kinds[@]} -eq 0 ] && kinds=(normal emergency)

for kind in "${kinds[@]}"; do
    case "$kind" in
        normal) check "a normal update over WinMM, started with a click, leaves the keyboard on the new firmware with its own data" update normal ;;
        emergency) check "an emergency update over WinMM leaves the keyboard on the new firmware" update emergency ;;
        *) echo "unknown update '$kind' (normal or emergency)" >&2; exit 2 ;;
    esac
done

echo "windows-update: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
