#!/usr/bin/env bash
# Postbell as a person meets it, on an X display of its own whose tray host (trayer) comes
# late, as at log-on, and a real Dovecot on loopback: it waits for the tray; the first check
# saves the seen list at once and shows new mail; a click on the icon opens the window at its
# saved place and puts the icon back; SIGTERM saves and exits 0; a start over a killed
# writer's hot journal keeps the committed seen list; a failed check shows the error
# picture, and after a restart of the tray host the icon comes back plain.
#
#   desktop_e2e.sh POSTBELL_BINARY
set -euo pipefail
postbell=$1
. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/support/desktop.sh"
pb_e2e_begin Xvfb trayer sqlite3 python3 xdotool import convert

pb_mailbox "$PB_SUPPORT" 9 || pb_skip "no Dovecot given, and starting one needs root"
POSTBELL_PASSWORD=$PB_POP3_PASSWORD python3 "$PB_SUPPORT/pop3_oracle.py" --port "$PB_POP3_PORT" \
    --expect-seen "$PB_WORK/seen" 127.0.0.1 "$PB_POP3_USER" >/dev/null
expected=$(od -An -v -tx1 "$PB_WORK/seen" | tr -d ' \n' | tr a-f A-F)
[ -n "$expected" ] || pb_fail "the oracle found no messages"
pb_start_xvfb "$PB_WORK" || pb_fail "no X display"
pb_store_seed "$PB_STORE" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$PB_POP3_PORT")" \
    User 1 "$(pb_sql_text "$PB_POP3_USER")" Password 1 "$(pb_sql_text "$PB_POP3_PASSWORD")" \
    WindowLeft 4 "$(pb_sql_dword 120)" WindowTop 4 "$(pb_sql_dword 90)"
stored() { pb_stored_hex "$PB_STORE" "$1"; }
seen_list_saved() { [ "$(stored UIDList)" = "$expected" ]; }

pb_start_postbell "$postbell"
sleep 2
kill -0 "$PB_PID" 2>/dev/null || pb_fail "Postbell ended while there was no tray yet"
pb_start_trayer "$PB_WORK" || pb_fail "no tray host"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host came up"
pb_wait_for 600 seen_list_saved || pb_fail "UIDList after the first check: '$(stored UIDList)', expected '$expected'"
pb_wait_for 50 pb_icon_shows new-mail "$PB_WORK/icon.png" || pb_fail "the icon does not show new mail"
xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click 1 mousemove 5 5
pb_wait_for 100 pb_find_window "$PB_PID" '^Postbell$' || pb_fail "no main window after a click on the icon"
pb_wait_for 50 pb_icon_shows normal "$PB_WORK/icon.png" || pb_fail "new mail still shown with the window open"
pb_window_geometry "$PB_WINDOW"
[ "$PB_X,$PB_Y" = 120,90 ] || pb_fail "the window is at $PB_X,$PB_Y, not at the saved 120,90"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after SIGTERM"
seen_list_saved || pb_fail "UIDList after SIGTERM: '$(stored UIDList)'"
[ "$(stored WindowLeft)$(stored WindowTop)" = 780000005A000000 ] || pb_fail "window place saved as $(stored WindowLeft)/$(stored WindowTop)"

# A writer killed in the middle of a transaction leaves a hot journal over a committed list
# that also holds a message deleted since: the next start reads the committed values, checks,
# shows no new mail and saves the list without that message.
printf '0123456789abcdef' | cat "$PB_WORK/seen" - >"$PB_WORK/committed"
pb_store_seed "$PB_STORE" UIDList 3 "$(pb_sql_file "$PB_WORK/committed")"
(python3 - "$PB_STORE" <<'PY' || true) 2>/dev/null
import os, signal, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size = 1")
db.execute("BEGIN")
db.execute("UPDATE value SET data = zeroblob(100000)")
os.kill(os.getpid(), signal.SIGKILL)
PY
[ -s "$PB_STORE-journal" ] || pb_fail "the killed writer left no journal"
pb_start_postbell "$postbell"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon over a hot journal"
pb_wait_for 600 seen_list_saved || pb_fail "UIDList after a start over a hot journal: '$(stored UIDList)'"
pb_icon_shows normal "$PB_WORK/icon.png" || pb_fail "new mail shown: the committed seen list was lost"
pb_end_postbell

# Nothing listens on port 9: the check fails at once.
pb_store_seed "$PB_STORE" Port 4 "$(pb_sql_dword 9)"
pb_start_postbell "$postbell"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon"
pb_wait_for 100 pb_icon_shows error "$PB_WORK/icon.png" || pb_fail "the failed check shows no error picture"
kill "$PB_TRAYER_PID" && wait "$PB_TRAYER_PID" 2>/dev/null || true
pb_start_trayer "$PB_WORK" || pb_fail "the tray host did not start again"
pb_wait_for 200 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host restarted"
pb_wait_for 50 pb_icon_shows normal "$PB_WORK/icon.png" || pb_fail "the icon came back with another picture"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after SIGTERM"
echo "passed"
