#!/usr/bin/env bash
# Configures and builds one flavour of the project into its own folder.
#   scripts/build.sh [plain|release|address|thread|windows] [cmake --build arguments...]
# windows cross-builds the updater for 64-bit Windows, in Release, with its Windows tests
# and tools (scripts/setup-windows.sh installs and builds what that needs).
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
    # Release only: binutils needs minutes for JUCE's Debug objects for Windows.
    windows) deps=$("$root/scripts/setup-windows.sh")
             dir=build-windows; args=(-DCMAKE_BUILD_TYPE=Release
                                      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
                                      -DMORELTA_MINGW_DEPS="$deps" -DCMAKE_PREFIX_PATH="$deps"
                                      -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine.sh") ;;
    *) echo "unknown flavour '$flavour' (plain, release, address, thread or windows)" >&2; exit 2 ;;
esac

# Warnings stop the build only where asked for (CI sets MORELTA_WERROR=ON).
args+=(-DMORELTA_WERROR="${MORELTA_WERROR:-OFF}")

# Kept under ~/.cache between runs; a bare machine simply starts with an empty cache.
# Paths are taken relative to the checkout, so that another checkout of the same sources
# finds what this one compiled.
if command -v ccache >/dev/null 2>&1; then
    args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}"
    export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
    export CCACHE_BASEDIR="$root"
    export CCACHE_NOHASHDIR=1
fi

cmake -S "$root" -B "$root/$dir" -G Ninja "${args[@]}" >&2
cmake --build "$root/$dir" "$@" >&2
echo "$root/$dir"
