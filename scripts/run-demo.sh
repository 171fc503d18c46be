#!/usr/bin/env bash
# Sets up the machine, builds the updater and starts it on the virtual MIDI ports.
# Ctrl-C quits it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"
dir=$("$root/scripts/build.sh" release)

exec "$dir/MoreltaFirmwareUpdaterDemo_artefacts/Release/MORELTA Firmware Updater Demo"
