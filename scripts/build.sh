#!/usr/bin/env bash
# Configures and builds one flavour of the project into its own folder.
#   scripts/build.sh [plain|release|address|thread] [cmake --build arguments...]
# Build output goes to stderr; the build folder is printed on stdout.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-plain}
shift || true

case "$flavour" in
    plain)   dir=build;         args=(-DCMAKE_BUILD_TYPE=Debug) ;;
    release) dir=build-release; args=(-DCMAKE_BUILD_TYPE=Release) ;;
    address) dir=build-asan;    args=(-DCMAKE_BUILD_TYPE=Debug -DMORELTA_SANITIZER=address) ;;
    thread)  dir=build-tsan;    args=(-DCMAKE_BUILD_TYPE=Debug -DMORELTA_SANITIZER=thread) ;;
    *) echo "unknown flavour '$flavour' (plain, release, address or thread)" >&2; exit 2 ;;
esac

# Warnings stop the build only where asked for (CI sets MORELTA_WERROR=ON).
args+=(-DMORELTA_WERROR="${MORELTA_WERROR:-OFF}")

cmake -S "$root" -B "$root/$dir" -G Ninja "${args[@]}" >&2
cmake --build "$root/$dir" "$@" >&2
echo "$root/$dir"
