#!/usr/bin/env bash
# Runs the real tool in a real (virtual) X display beside the device simulator:
# waits for its window, checks title and size, photographs the screen, closes
# the window as a user would and checks that the process exits with status 0.
# Usage: gui_test.sh TOOL DEVSIM CLOSER SCREENSHOT
set -euo pipefail
tool=$1 devsim=$2 closer=$3 shot=$4
title="Varnak Kestro 3 Commissioning Tool"

if [ -z "${KESTRO_GUI_INNER:-}" ]; then
    if ! command -v xvfb-run >/dev/null || ! command -v xdotool >/dev/null; then
        echo "SKIPPED: xvfb-run or xdotool is not installed (apt-get install xvfb xdotool)"
        exit 77
    fi
    export KESTRO_GUI_INNER=1
    unset QT_QPA_PLATFORM
    # 96 DPI, so that the high-DPI scaling leaves the form's pixel sizes as they are.
    exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$@"
fi

fail() { echo "FAIL: $*" >&2; exit 1; }

# In a sanitizer build the X libraries' own allocations at exit would be
# reported as leaks; the offscreen tests check ours.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

tool_pid=""
# Neither program outlives the test, however it ends.
stop_all() {
    if [ -n "$tool_pid" ]; then kill "$tool_pid" 2>/dev/null || true; fi
    kill "$SIM_PID" 2>/dev/null || true
}
coproc SIM { exec "$devsim"; }
trap stop_all EXIT
read -r -t 10 port <&"${SIM[0]}" || fail "the simulator printed no port"
[ -e "$port" ] || fail "the simulator's port $port does not exist"

KESTRO_EXTRA_PORTS=$port "$tool" &
tool_pid=$!

window=""
for _ in $(seq 1 100); do
    window=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null || true)
    [ -n "$window" ] && break
    kill -0 "$tool_pid" 2>/dev/null || fail "the tool exited before showing its window"
    sleep 0.1
done
[ -n "$window" ] || fail "no window titled \"$title\" appeared"
[ "$(wc -w <<<"$window")" -eq 1 ] || fail "more than one window: $window"

read -r width height < <(xwininfo -id "$window" | awk '/Width:/{w=$2} /Height:/{h=$2} END{print w, h}')
echo "window $window: ${width}x${height}"
[ "$width" = 780 ] && [ "$height" = 521 ] || fail "window is ${width}x${height}, expected 780x521"

sleep 0.5 # let the first paint finish before the photograph
import -window root "$shot"
echo "screenshot: $shot"

"$closer" "$window" || fail "could not ask the window to close"
status=0
for _ in $(seq 1 100); do
    kill -0 "$tool_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$tool_pid" 2>/dev/null && fail "the tool did not exit after its window was closed"
wait "$tool_pid" || status=$?
[ "$status" -eq 0 ] || fail "the tool exited with status $status"
echo "PASS: window shown, photographed and closed; exit status 0"
