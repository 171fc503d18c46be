#!/usr/bin/env bash
# Sets up the machine for the Windows build and its checks under Wine: the Linux set-up,
# Debian's mingw-w64 (posix threads), Wine, and the libraries Debian has no mingw build
# of (libpng and libjpeg-turbo, which Debian's JUCE links on every platform, and
# GoogleTest), built here from Debian's own sources.
#
# The built libraries are cached outside the checkout, under
#   ${XDG_CACHE_HOME:-$HOME/.cache}/morelta-mingw-deps/<versions>/
# so a warm machine never builds them again. Prints that folder on stdout.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" >&2

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev libz-mingw-w64-dev
    wine wine64
    # the sources of libpng and libjpeg-turbo, through apt-get source
    dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq >&2
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The mingw libraries are built from the upstream versions of the Linux ones the machine
# has, with this compiler: the cache is keyed by all of them.
upstreamVersion() { dpkg-query -W -f='${Version}' "$1" | sed -e 's/^[0-9]*://' -e 's/-[^-]*$//'; }
compiler=$(x86_64-w64-mingw32-g++-posix -dumpversion)
key="png$(upstreamVersion libpng-dev)-jpeg$(upstreamVersion libjpeg62-turbo-dev)-gtest$(upstreamVersion libgtest-dev)-gcc$compiler"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/morelta-mingw-deps"
prefix="$cache/$key"

if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

echo "Building libpng, libjpeg-turbo and GoogleTest for mingw-w64 into $prefix" >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$prefix"
mkdir -p "$prefix"

# Debian lists no source packages unless told to: add a deb-src entry for every deb entry
# of Debian's own archives, with the same addresses, suites, components and key.
if ! apt-get source --download-only --print-uris libpng1.6 >/dev/null 2>&1; then
    list=/etc/apt/sources.list.d/morelta-deb-src.sources
    tmp="$work/deb-src.sources"
    : >"$tmp"

    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # deb822 stanzas: those that name deb and a Debian archive become deb-src ones.
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:([^\n]* )?deb( |\n|$)/ && /(^|\n)URIs:[^\n]*debian/ {
                 sub (/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub (/^\n/, ""); print }' "$f" >>"$tmp"
    done

    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^[[:space:]]*deb[[:space:]]\(.*debian.*\)$/deb-src \1/p' /etc/apt/sources.list >"$work/deb-src.list"
        if [ -s "$work/deb-src.list" ]; then
            $sudo cp "$work/deb-src.list" /etc/apt/sources.list.d/morelta-deb-src.list
        fi
    fi

    if [ -s "$tmp" ]; then
        $sudo cp "$tmp" "$list"
    fi

    $sudo apt-get update -qq >&2
fi

# Debian's newest source of each, with its patches; a version the archive lists but no
# longer serves is passed over for the next one.
fetchSource() {
    local v
    for v in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -u | sort -r -V); do
        if (cd "$work" && apt-get source --download-only -qq "$1=$v" >/dev/null 2>&1); then
            dpkg-source -x "$work/$1_${v#*:}.dsc" "$work/$1" >/dev/null
            echo "$1 $v" >>"$prefix/SOURCES"
            echo "$work/$1"
            return 0
        fi
    done
    echo "cannot fetch the source of $1" >&2
    return 1
}

toolchain="$root/cmake/mingw-w64-x86_64.cmake"
cmakeCross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib)

# libjpeg-turbo. JUCE includes jpeglib.h inside a namespace of its own and names that
# namespace's 'boolean', which the Windows jconfig.h hides whenever <rpcndr.h> came first.
jpeg=$(fetchSource libjpeg-turbo)
sed -i 's/^#ifndef __RPCNDR_H__.*/#if 1/' "$jpeg/win/jconfig.h.in"
# Its build takes a relative library folder as relative to the prefix's parent.
cmake -S "$jpeg" -B "$work/jpeg-build" "${cmakeCross[@]}" -DCMAKE_INSTALL_LIBDIR="$prefix/lib" \
    -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF >&2
cmake --build "$work/jpeg-build" --target install >&2
# JUCE's JPEG code includes the library's internal header too.
cp "$jpeg/jpegint.h" "$prefix/include/"

# libpng, on mingw's static zlib.
png=$(fetchSource libpng1.6)
cmake -S "$png" -B "$work/png-build" "${cmakeCross[@]}" \
    -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
    -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include >&2
cmake --build "$work/png-build" --target install >&2

# GoogleTest and GoogleMock, from the sources libgtest-dev installs.
cmake -S /usr/src/googletest -B "$work/gtest-build" "${cmakeCross[@]}" -DBUILD_GMOCK=ON >&2
cmake --build "$work/gtest-build" --target install >&2

touch "$prefix/.complete"
echo "$prefix"
