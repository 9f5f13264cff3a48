#!/usr/bin/env bash
# Postbell end to end, as a person meets it: on a real X display with a tray host (trayer),
# against a real Dovecot on loopback. A seeded store, the program started, its first check
# seen through the store, its tray icon found and clicked, the main window shown, screenshots
# of the tray and of the window, SIGTERM, exit code 0, and UIDList equal to the MD5 digests
# of Dovecot's unique-ids.
#
#   desktop_e2e.sh POSTBELL_BINARY SCREENSHOT_DIR
#
# Uses the display in DISPLAY when POSTBELL_TEST_X=1, else starts its own Xvfb and trayer.
# Uses the Dovecot named by POSTBELL_TEST_POP3_PORT and POSTBELL_TEST_POP3_DIR, else starts
# its own (as root). Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail

postbell=$1
shots=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
support=$here/../../../tools/support
# shellcheck source=tools/support/desktop.sh
. "$support/desktop.sh"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"; exit 1; }

for tool in sqlite3 python3 xdotool xdpyinfo import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d /tmp/pbe2e.XXXXXX)
postbell_pid=""

cleanup() {
    set +e
    [ -n "$postbell_pid" ] && kill -KILL "$postbell_pid" 2>/dev/null && wait "$postbell_pid" 2>/dev/null
    pb_stop_display
    pb_stop_mailbox "$support"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# --- the POP3 server and a mailbox -------------------------------------------------------
pb_mailbox "$support" 9 || skip "no Dovecot given, and starting one needs root"
port=$PB_POP3_PORT user=$PB_POP3_USER password=$PB_POP3_PASSWORD
POSTBELL_PASSWORD=$password python3 "$support/pop3_oracle.py" --port "$port" \
    --expect-seen "$work/expected-uidlist" 127.0.0.1 "$user" >/dev/null
expected=$(od -An -v -tx1 "$work/expected-uidlist" | tr -d ' \n' | tr a-f A-F)
[ -n "$expected" ] || fail "the oracle found no messages"

# --- the display and the tray host -------------------------------------------------------
if [ "${POSTBELL_TEST_X:-}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
    echo "using display $DISPLAY"
else
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v trayer >/dev/null || skip "trayer is not installed"
    pb_start_display "$work" || fail "no X display with a tray host"
fi

# --- the store, seeded as a person could with the sqlite3 tool ----------------------------
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
store=$XDG_CONFIG_HOME/postbell/registry.sqlite3
pb_store_seed "$store" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$port")" \
    User 1 "$(pb_sql_text "$user")" Password 1 "$(pb_sql_text "$password")" \
    WindowLeft 4 "$(pb_sql_dword 120)" WindowTop 4 "$(pb_sql_dword 90)"
stored() { pb_stored_hex "$store" "$1"; }
uidlist_is_expected() { [ "$(stored UIDList)" = "$expected" ]; }

# --- Postbell -----------------------------------------------------------------------------
# In the sanitizer build, leaks inside D-Bus and fontconfig are theirs, not ours.
LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
    env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
postbell_pid=$!

# The tray icon: Postbell's visible window of at most 32 pixels.
pb_wait_for 300 pb_find_tray_icon "$postbell_pid" || fail "no tray icon of Postbell appeared"
echo "tray icon: window $PB_ICON, ${PB_ICON_W}x${PB_ICON_H} at $PB_ICON_X,$PB_ICON_Y"

# The first check saves the seen digests as soon as it has finished: no shut-down needed.
pb_wait_for 600 uidlist_is_expected || fail "UIDList after the first check: '$(stored UIDList)', expected '$expected'"

pb_wait_for 50 pb_icon_shows new-mail "$work/icon-new-mail.png" || fail "the icon does not show new mail"

panel=$(xdotool search --onlyvisible --name '^panel$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$panel")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/e2e-tray.png"

# A left click on the icon opens the main window and returns the icon to normal.
xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click 1
pb_wait_for 100 pb_find_window "$postbell_pid" '^Postbell$' ||
    fail "the main window did not come up after a click on the icon"
xdotool mousemove --sync 5 5
pb_wait_for 50 pb_icon_shows normal "$work/icon-normal.png" ||
    fail "the icon still shows new mail after the window was opened"

pb_window_geometry "$PB_WINDOW"
echo "main window: ${PB_W}x${PB_H} at $PB_X,$PB_Y"
[ "$PB_X" -eq 120 ] && [ "$PB_Y" -eq 90 ] || fail "the window is not at the saved place 120,90"
sleep 0.5 # one more paint
import -window "$PB_WINDOW" "$shots/e2e-window.png"
import -window root "$shots/e2e-screen.png"

# --- the end ------------------------------------------------------------------------------
kill -TERM "$postbell_pid"
for _ in $(seq 300); do
    kill -0 "$postbell_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$postbell_pid" 2>/dev/null && fail "Postbell did not end within 30 s of SIGTERM"
set +e
wait "$postbell_pid"
rc=$?
set -e
postbell_pid=""
[ "$rc" -eq 0 ] || fail "Postbell ended with exit code $rc"
uidlist_is_expected || fail "UIDList after SIGTERM: '$(stored UIDList)', expected '$expected'"
[ "$(stored WindowLeft)" = "78000000" ] && [ "$(stored WindowTop)" = "5A000000" ] ||
    fail "window position saved as $(stored WindowLeft)/$(stored WindowTop)"
echo "passed: screenshots in $shots"
