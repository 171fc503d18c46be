#!/usr/bin/env bash
# Runs a Windows program of ours under Wine, in a Wine prefix of the project's own:
#   scripts/wine.sh PROGRAM.exe [ARGUMENTS...]
# The prefix lives outside the checkout, under ${XDG_CACHE_HOME:-$HOME/.cache}/morelta-wine,
# and is made on first use. Windows programs need an X display, even those that open no
# window (JUCE's message loop runs on a hidden one): give them one, e.g. with xvfb-run.
set -euo pipefail

export WINEPREFIX="${MORELTA_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/morelta-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: our programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver --wait
fi

exec wine "$@"
