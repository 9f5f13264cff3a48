#!/usr/bin/env bash
# Postbell started before the tray host, as at log-on: it waits for one; its icon comes when
# the host does, with the error picture of its failed check; when the host restarts, the icon
# comes back plain.
#
#   late_tray_e2e.sh POSTBELL_BINARY     (always on a display of its own)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/support/desktop.sh"
pb_e2e_begin Xvfb trayer xdotool sqlite3 import convert
pb_start_xvfb "$PB_WORK" 800x600x24 || pb_fail "no X display"
# Nothing listens on port 9, so the check fails at once; without a server the first-run dialog would come.
pb_store_seed "$PB_STORE" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword 9)"
pb_start_postbell "$1"
sleep 2
kill -0 "$PB_PID" 2>/dev/null || pb_fail "Postbell ended while there was no tray yet"
pb_start_trayer "$PB_WORK" || pb_fail "no tray host"
pb_wait_for 200 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host came up"
pb_wait_for 100 pb_icon_shows error "$PB_WORK/icon.png" || pb_fail "the failed check shows no error picture"
kill "$PB_TRAYER_PID" && wait "$PB_TRAYER_PID" 2>/dev/null || true
pb_start_trayer "$PB_WORK" || pb_fail "the tray host did not start again"
pb_wait_for 200 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host restarted"
pb_wait_for 50 pb_icon_shows normal "$PB_WORK/icon.png" || pb_fail "the icon came back with another picture"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after SIGTERM"
echo "passed"
