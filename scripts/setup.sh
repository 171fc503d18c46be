#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the GUI need.
# Idempotent: when everything is present it only checks, and it runs
# `apt-get update` only when something is missing.
set -euo pipefail

packages=(
    # toolchain
    g++ cmake ninja-build make pkg-config
    # a compiler cache under ~/.cache: a machine that built once rebuilds in minutes
    ccache
    # JUCE 7.0.5 (pulls in the ALSA, X11, freetype and fontconfig -dev packages its modules use)
    juce-modules-source
    libasound2-dev libfreetype-dev libfontconfig-dev libx11-dev libxrandr-dev
    libxinerama-dev libxcursor-dev libxcomposite-dev libxext-dev libgl-dev
    # tests
    libgtest-dev libgmock-dev
    # fonts: without them JUCE draws no text; Liberation Sans has Arial's metrics
    fontconfig-config fonts-dejavu-core fonts-liberation
    # headless GUI runs and screenshots
    xvfb xauth x11-apps imagemagick xdotool
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
