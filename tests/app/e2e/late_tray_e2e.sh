#!/usr/bin/env bash
# Postbell started before the desktop's tray exists, as can happen at log-on: it waits for
# the tray host instead of failing, and its icon appears once the host comes up.
#
#   late_tray_e2e.sh POSTBELL_BINARY
#
# Always starts its own Xvfb, since the display must begin without a tray host.
# Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail

postbell=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"; exit 1; }

for tool in Xvfb trayer xdotool xdpyinfo; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d /tmp/pblate.XXXXXX)
pids=()
cleanup() {
    set +e
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# poll TENTHS COMMAND...: until the command succeeds, at most TENTHS tenths of a second.
poll() {
    local tries=$1; shift
    while [ "$tries" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 800x600x24 -nolisten tcp </dev/null >"$work/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 20 -u "$displayfd" number || fail "Xvfb gave no display number"
export DISPLAY=":$number"
poll 200 xdpyinfo || fail "Xvfb $DISPLAY did not answer"

# An empty store: no settings, so the first check fails quickly and harmlessly.
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
    env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
postbell_pid=$!
pids+=("$postbell_pid")

tray_icon_shown() {
    local wid
    for wid in $(xdotool search --onlyvisible --pid "$postbell_pid" 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$wid")"
        [ "$WIDTH" -le 32 ] && [ "$HEIGHT" -le 32 ] && return 0
    done
    return 1
}

sleep 2
kill -0 "$postbell_pid" 2>/dev/null || fail "Postbell ended while there was no tray yet"
tray_icon_shown && fail "an icon showed with no tray host"

trayer --edge bottom --align right --widthtype request --height 32 </dev/null >"$work/trayer.log" 2>&1 &
pids+=($!)
poll 200 tray_icon_shown || fail "no tray icon after the tray host came up"

kill -TERM "$postbell_pid"
status=0
wait "$postbell_pid" || status=$?
[ "$status" -eq 0 ] || fail "Postbell exited with $status after SIGTERM"
echo "PASSED: the tray icon appeared once the tray host came up"
