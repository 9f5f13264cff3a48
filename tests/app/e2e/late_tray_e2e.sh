#!/usr/bin/env bash
# Postbell started before the desktop's tray exists, as can happen at log-on: it waits for
# the tray host instead of failing, and its icon appears once the host comes up. Its first
# check fails (the error picture); when the tray host restarts, the icon comes back with
# the normal picture, not the error.
#
#   late_tray_e2e.sh POSTBELL_BINARY
#
# Always starts its own Xvfb, since the display must begin without a tray host.
# Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail

postbell=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../../tools/support/desktop.sh
source "$here/../../../tools/support/desktop.sh"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"; exit 1; }

for tool in Xvfb trayer xdotool sqlite3 import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d /tmp/pblate.XXXXXX)
postbell_pid=""
cleanup() {
    set +e
    [ -n "$postbell_pid" ] && kill -KILL "$postbell_pid" 2>/dev/null && wait "$postbell_pid" 2>/dev/null
    pb_stop_display
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

pb_start_xvfb "$work" 800x600x24 || fail "no X display"

# A server where nothing listens (port 9 on loopback), so the first check fails quickly
# and harmlessly; with no server at all the first-run dialog would come first.
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
pb_store_seed "$XDG_CONFIG_HOME/postbell/registry.sqlite3" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword 9)"
LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
    env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
postbell_pid=$!

sleep 2
kill -0 "$postbell_pid" 2>/dev/null || fail "Postbell ended while there was no tray yet"
pb_find_tray_icon "$postbell_pid" && fail "an icon showed with no tray host"

pb_start_trayer "$work" || fail "no tray host"
pb_wait_for 200 pb_find_tray_icon "$postbell_pid" || fail "no tray icon after the tray host came up"
pb_wait_for 100 pb_icon_shows error "$work/icon.png" || fail "the failed check shows no error picture"

kill "$PB_TRAYER_PID" && wait "$PB_TRAYER_PID" 2>/dev/null || true
pb_start_trayer "$work" || fail "the tray host did not start again"
pb_wait_for 200 pb_find_tray_icon "$postbell_pid" || fail "no tray icon after the tray host restarted"
pb_wait_for 50 pb_icon_shows normal "$work/icon.png" || fail "the icon came back with another picture"

kill -TERM "$postbell_pid"
status=0
wait "$postbell_pid" || status=$?
postbell_pid=""
[ "$status" -eq 0 ] || fail "Postbell exited with $status after SIGTERM"
echo "PASSED: the tray icon appeared once the tray host came up, and came back plain after its restart"
