#!/usr/bin/env bash
# Runs Windows programs of ours under Wine, in a Wine prefix of this checkout's own, made
# on first use in build-windows/wine-prefix (MORELTA_WINEPREFIX to choose another), so
# that no other checkout's Wine session is touched:
#   scripts/wine.sh PROGRAM.exe [ARGUMENTS...]   runs one program
#   scripts/wine.sh --session COMMAND...         runs a command (say, ctest) with Wine kept
#                                                running between the programs it starts,
#                                                and ends Wine afterwards
#   scripts/wine.sh --prefix                     prints the prefix's folder
# Every run uses our own WinMM MIDI driver, winemorelta.drv, when the Windows build has
# made it: its ports are those of a morelta-sim-keyboard process (none running: eight
# empty slots each way). It is copied into the prefix whenever it changed.
# Windows programs need an X display, even those that open no window (JUCE's message
# loop runs on a hidden one): run them under xvfb-run where there is none.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${MORELTA_WINEPREFIX:-$root/build-windows/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: our programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1 </dev/null
    wineserver --wait
fi

driver="$root/build-windows/winemorelta.drv"
installed="$WINEPREFIX/drive_c/windows/system32/winemorelta.drv"
if [ -f "$driver" ] && ! cmp -s "$driver" "$installed"; then
    cp "$driver" "$installed"
fi
# Wine loads wine<name>.drv for each name in this value; ours is the only one, so no other
# driver's ports mix with the keyboard's.
if [ -f "$installed" ] && ! grep -qs '^"Audio"="morelta"' "$WINEPREFIX/user.reg"; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d morelta /f >/dev/null 2>&1 </dev/null
fi

case "${1:-}" in
    --prefix)
        echo "$WINEPREFIX"
        ;;
    --session)
        shift
        # Wine's own services start with the first program and outlive it; started here,
        # they do not hold the output of a test that CTest waits to see closed. A server
        # that the set-up above started lingers for a few seconds, and a persistent one
        # cannot start beside it.
        wineserver --wait
        wineserver --persistent
        wine cmd /c exit >/dev/null 2>&1 </dev/null
        status=0
        "$@" || status=$?
        wineserver --kill
        exit "$status"
        ;;
    *)
        exec wine "$@"
        ;;
esac
