#!/usr/bin/env bash
# The Windows updater under Wine as a user meets it, on the X server of $DISPLAY:
#   - it shows its window and looks like the Linux build's window in the same state (no
#     keyboard), within a tolerance for the fonts, which differ;
#   - it repaints: a key switches emergency mode on, and the window shows it as the
#     Linux build's does;
#   - a second instance opens no window and ends;
#   - at 144 and 192 DPI (150 and 200 % display scaling) it draws the window larger, with
#     its artwork drawn for the scale: the title's and the button's edge contrast (the
#     mean square of the grey-level steps between neighbouring pixels) must beat the
#     96 DPI window's stretched to the same size, as 1x pictures would be, by a quarter
#     (1x pictures drawn stretched by the updater came within 5 % of it). A picture of
#     the window in emergency mode at each DPI is kept as wine-NNNdpi.png;
#   - while another process holds the companion's lock file it shows the companion
#     alert, and Cancel ends it; while it runs it holds that file itself.
#
#   scripts/check-windows-app.sh WINDOWS_BUILD_DIR LINUX_UPDATER
#
# Run by scripts/test.sh windows, under Xvfb, with the project's Wine prefix. Ends with
# "N passed, N failed" and exits non-zero if any check failed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
windowsBuild=$1
linuxUpdater=$2
updater="$windowsBuild/MoreltaFirmwareUpdater_artefacts/Release/MORELTA Firmware Updater.exe"
probe="$windowsBuild/tests/morelta_lock_probe.exe"
title="MORELTA Firmware Updater"

shotsFolder=window-shots
# shellcheck source=windows-checks.sh
. "$root/scripts/windows-checks.sh"

# Starts a program in the background; its pid goes to $started.
start() {
    "$@" >"$work/log-$RANDOM" 2>&1 &
    started=$!
    pids+=("$started")
}

stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# Waits up to 40 s for a visible window of this size; prints its id.
windowOfSize() { findWindow "w == $1 && h == $2"; }

# The window's content, 400 x 311 from its top left corner.
shot() { import -window "$1" -crop 400x311+0+0 +repage "png:$2"; }

# Pixels that differ by more than a tenth of the colour range.
differing() { compare -metric AE -fuzz 10% "$1" "$2" null: 2>&1 || true; }

# The Wine window matches a picture within the tolerance, waiting for its paint.
tolerance=1500 # of 124,400 pixels (1.2 %): the glyphs of the small texts
matchesWithin() {
    local id=$1 expected=$2 shotFile=$3
    local different
    for _ in $(seq 1 50); do
        shot "$id" "$shotFile"
        different=$(differing "$shotFile" "$expected")
        [ "$different" -le "$tolerance" ] && break
        sleep 0.2
    done
    echo "  $different of 124,400 pixels differ from $(basename "$expected" .png)"
    [ "$different" -le "$tolerance" ]
}

# The display's DPI, as Windows' scaling setting sets it; the checks below start at 96.
setDpi() {
    "$root/scripts/wine.sh" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
setDpi 96
trap 'setDpi 96; cleanup' EXIT

#===================================================================================================
# The Linux build's window: the start state, then emergency mode.
# Detection has looked for a keyboard (once a second) by the time the pictures are taken.
settle=3

start "$linuxUpdater"
linuxPid=$started
linuxWindow=$(windowOfSize 400 311)
sleep "$settle"
shot "$linuxWindow" "$shots/linux-start.png"
xdotool key --window "$linuxWindow" e 2>/dev/null
sleep 1
shot "$linuxWindow" "$shots/linux-emergency.png"
stop "$linuxPid"

# What emergency mode changes in the window: the Windows build must change as much.
change=$(differing "$shots/linux-start.png" "$shots/linux-emergency.png")

if [ "$change" -lt 50 ]; then
    echo "the Linux window hardly changed with emergency mode: no reference" >&2
    exit 1
fi

#===================================================================================================
start "$root/scripts/wine.sh" "$updater"
wineApp=$started
wineWindow=$(windowOfSize 400 311) || true

check "the updater's window shows at 400 x 311" test -n "$wineWindow"
sleep "$settle"
check "it looks like the Linux build's window at the start" matchesWithin "$wineWindow" "$shots/linux-start.png" "$shots/wine-start.png"

# Without repaints the window would go on showing its first paint.
repaints() {
    local different
    xdotool key --window "$wineWindow" e 2>/dev/null
    for _ in $(seq 1 50); do
        shot "$wineWindow" "$shots/wine-emergency.png"
        different=$(differing "$shots/wine-start.png" "$shots/wine-emergency.png")
        [ "$different" -ge $((change / 2)) ] && break
        sleep 0.2
    done
    echo "  emergency mode changed $different pixels (the Linux window: $change)"
    [ "$different" -ge $((change / 2)) ]
}
check "it repaints: a key switches emergency mode on, and the window shows it" repaints
check "in emergency mode it looks like the Linux build's window" matchesWithin "$wineWindow" "$shots/linux-emergency.png" "$shots/wine-emergency.png"

secondInstance() {
    timeout 60 "$root/scripts/wine.sh" "$updater" >/dev/null 2>&1 && [ "$(windows | wc -l)" -eq 1 ]
}
check "a second instance opens no window and ends" secondInstance
stop "$wineApp"
cp "$shots/wine-emergency.png" "$shots/wine-96dpi.png"

#===================================================================================================
# Display scaling. The mean square of the grey-level steps between neighbouring pixels,
# across and down, in an area of a picture.
edgeContrast() {
    local across down
    across=$(convert "$1" -crop "$2" +repage -colorspace Gray \( +clone -roll +1+0 \) -compose difference -composite -shave 1x1 -evaluate pow 2 -format "%[fx:mean]" info:)
    down=$(convert "$1" -crop "$2" +repage -colorspace Gray \( +clone -roll +0+1 \) -compose difference -composite -shave 1x1 -evaluate pow 2 -format "%[fx:mean]" info:)
    awk -v a="$across" -v d="$down" 'BEGIN { printf "%.5f", a + d }'
}

# An area given in the window's own units, at a scale.
scaled() { awk -v s="$1" -v x="$2" -v y="$3" -v w="$4" -v h="$5" 'BEGIN { printf "%dx%d+%d+%d", w * s, h * s, x * s, y * s }'; }

# The title below the placeholder notice, and the button.
areas=("title 20 14 358 73" "button 175 250 212 56")

# Whether each area of the shot beats the stretched window by a quarter; with "say",
# prints the figures.
crisperThanStretched() {
    local shot=$1 stretched=$2 scale=$3 say=${4:-} area crisp reference geometry status=0
    for area in "${areas[@]}"; do
        read -r -a a <<<"$area"
        geometry=$(scaled "$scale" "${a[@]:1}")
        crisp=$(edgeContrast "$shot" "$geometry")
        reference=$(edgeContrast "$stretched" "$geometry")
        if [ -n "$say" ]; then
            echo "  ${a[0]}: edge contrast $crisp, the 96 DPI window stretched $reference ($(awk -v c="$crisp" -v r="$reference" 'BEGIN { printf "%.2f", c / r }') x)"
        fi
        awk -v c="$crisp" -v r="$reference" 'BEGIN { exit !(c > 1.25 * r) }' || status=1
    done
    return "$status"
}

crispAt() {
    local dpi=$1 scale window width height stretched shot app
    scale=$(awk -v d="$dpi" 'BEGIN { print d / 96 }')
    width=$(awk -v s="$scale" 'BEGIN { printf "%d", 400 * s }')
    height=$(awk -v s="$scale" 'BEGIN { printf "%d", 311 * s + 0.5 }')
    shot="$shots/wine-${dpi}dpi.png"
    stretched="$work/stretched-$dpi.png"
    convert "$shots/wine-96dpi.png" -filter Triangle -resize "${width}x${height}!" "$stretched"

    setDpi "$dpi"
    start "$root/scripts/wine.sh" "$updater"
    app=$started
    window=$(findWindow "w >= $width && w <= $width + 2") || { stop "$app"; setDpi 96; return 1; }
    sleep "$settle"
    xdotool key --window "$window" e 2>/dev/null

    # Until the button shows, and its edges with it.
    for _ in $(seq 1 50); do
        import -window "$window" -crop "${width}x${height}+0+0" +repage "png:$shot"
        crisperThanStretched "$shot" "$stretched" "$scale" && break
        sleep 0.2
    done
    stop "$app"
    setDpi 96
    crisperThanStretched "$shot" "$stretched" "$scale" say
}

for area in "${areas[@]}"; do
    read -r -a a <<<"$area"
    echo "  at 96 DPI, ${a[0]}: edge contrast $(edgeContrast "$shots/wine-96dpi.png" "$(scaled 1 "${a[@]:1}")")"
done
check "at 144 DPI the window is drawn at 150 %, its artwork crisper than stretched" crispAt 144
check "at 192 DPI the window is drawn at 200 %, its artwork crisper than stretched" crispAt 192

#===================================================================================================
# The companion's folder exists from here on: the updater takes the lock file.
prefix=$("$root/scripts/wine.sh" --prefix)
mkdir -p "$prefix/drive_c/ProgramData/Ivra Professional/zoq"
lockFile="C:/ProgramData/Ivra Professional/zoq/.inuse.lck"
stopFile="$work/release-lock"

start "$root/scripts/wine.sh" "$probe" hold "$lockFile" "$stopFile"
holder=$started

for _ in $(seq 1 100); do
    grep -qs held "$work"/log-* && break
    sleep 0.2
done

start "$root/scripts/wine.sh" "$updater"
blocked=$started

companionAlert() {
    local alert
    windowOfSize 400 311 >/dev/null || return 1
    alert=$(findWindow "w != 400" 20) || return 1
    xdotool key --window "$alert" Escape 2>/dev/null
    for _ in $(seq 1 150); do
        kill -0 "$blocked" 2>/dev/null || return 0
        sleep 0.2
    done
    return 1
}
check "with the lock file held elsewhere, the companion alert shows and Cancel ends the updater" companionAlert

touch "$stopFile"
wait "$holder" 2>/dev/null || true

start "$root/scripts/wine.sh" "$updater"
wineApp=$started

holdsTheLock() {
    windowOfSize 400 311 >/dev/null && [ "$(windows | wc -l)" -eq 1 ] \
        && ! "$root/scripts/wine.sh" "$probe" try "$lockFile"
}
check "with the lock file free, the updater starts without the alert and holds the file" holdsTheLock
stop "$wineApp"

echo "windows-app: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
