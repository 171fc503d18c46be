#!/usr/bin/env bash
# Sets up the machine, builds the updater and runs its main job, one whole firmware
# update, against the simulated keyboard on the virtual MIDI ports (the headless runner;
# the window comes with a later change). Options go to morelta-sim-update, see --help.
#   scripts/run-demo.sh [--model 25|49|61] [--firmware 1.15] [--emergency] ...
#   scripts/run-demo.sh --app   starts the updater application itself on the virtual ports
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"

if [ "${1:-}" = "--app" ]; then
    dir=$("$root/scripts/build.sh" release --target MoreltaFirmwareUpdaterDemo)
    exec "$dir/MoreltaFirmwareUpdaterDemo_artefacts/Release/MORELTA Firmware Updater Demo"
fi

dir=$("$root/scripts/build.sh" release --target morelta-sim-update)
exec "$dir/morelta-sim-update" "$@"
