# What the checks of the Windows updater under Wine share; sourced by
# check-windows-app.sh and check-windows-update.sh once they have set
#   windowsBuild   the Windows build folder
#   shotsFolder    the folder under it that keeps the pictures, made anew
#   title          the updater's window title
# It gives a work folder removed at the end, $pids (programs killed at the end), check
# (a PASS or FAIL line, with its time, counted in $passed and $failed), windows (the
# ids of the updater's visible windows) and findWindow (one of them by its size).

work=$(mktemp -d)
shots="$windowsBuild/$shotsFolder" # kept, to look at
rm -rf "$shots"
mkdir -p "$shots"
pids=()
passed=0
failed=0

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

check() {
    local name=$1 start=$SECONDS
    shift
    if "$@"; then
        echo "PASS: $name ($((SECONDS - start)) s)"
        passed=$((passed + 1))
    else
        echo "FAIL: $name ($((SECONDS - start)) s)"
        failed=$((failed + 1))
    fi
}

windows() { xdotool search --onlyvisible --name "^$title\$" 2>/dev/null || true; }

# Waits up to $2 seconds (40 unless told) for a visible window of the updater's whose
# width w and height h meet the awk condition $1 ("w == 400 && h == 311"); prints its id.
findWindow() {
    local w
    for _ in $(seq 1 $((${2:-40} * 5))); do
        for w in $(windows); do
            if xwininfo -id "$w" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { exit !('"$1"') }'; then
                echo "$w"
                return 0
            fi
        done
        sleep 0.2
    done
    return 1
}
