#!/usr/bin/env bash
# Postbell as a new user meets it, on a real X display with a tray host, a real Dovecot and
# a private D-Bus bus whose fake services stand in for the notification daemon, logind and
# NetworkManager: the first-run dialog on an empty store, the notification and its click,
# a second copy raising the first, the checks on resume and on the network's return (and
# none within 30 s of the last), and the tray menu while Settings is open.
#
#   desktop_bus_e2e.sh POSTBELL_BINARY
set -euo pipefail

postbell=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
support=$here/../../../tools/support
# shellcheck source=tools/support/desktop.sh
. "$support/desktop.sh"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() {
    echo "FAILED: $*"
    [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"
    [ -f "${work:-}/notices" ] && sed 's/^/notice: /' "$work/notices"
    exit 1
}

for tool in sqlite3 xdotool dbus-daemon dbus-send; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || skip "python3-dbus or python3-gi is not installed"

work=$(mktemp -d /tmp/pbbus.XXXXXX)
postbell_pid=""
cleanup() {
    set +e
    [ -n "$postbell_pid" ] && kill -KILL "$postbell_pid" 2>/dev/null && wait "$postbell_pid" 2>/dev/null
    pb_stop_private_bus
    pb_stop_display
    pb_stop_mailbox "$support"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

pb_mailbox "$support" 4 || skip "no Dovecot given, and starting one needs root"
if [ "${POSTBELL_TEST_X:-}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
    echo "using display $DISPLAY"
else
    command -v Xvfb >/dev/null && command -v trayer >/dev/null || skip "Xvfb or trayer is not installed"
    pb_start_display "$work" || fail "no X display with a tray host"
fi
pb_start_private_bus "$here" "$work" || fail "no private bus: $(cat "$work/fake-bus.log")"
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

notices() { wc -l <"$work/notices"; }
notices_at_least() { [ "$(notices)" -ge "$1" ]; }
last_notice() { tail -n 1 "$work/notices"; }
window_up() { pb_find_window "$postbell_pid" "$1"; }
window_gone() { ! pb_find_window "$postbell_pid" "$1"; }
visible_windows() { xdotool search --onlyvisible --pid "$postbell_pid" 2>/dev/null | wc -l; }
hide_window() { xdotool windowfocus --sync "$PB_WINDOW" key Escape; }
right_click_icon() {
    local before
    before=$(visible_windows)
    xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click 3
    more_windows() { [ "$(visible_windows)" -gt "$before" ]; }
    pb_wait_for 50 more_windows
}

# --- an empty store: the settings dialog comes first, centred, with its exact caption ----
LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
    env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
postbell_pid=$!
pb_wait_for 100 window_up '^Postbell Settings$' || fail "no settings dialog on an empty store"
[ "$(xdotool getwindowname "$PB_WINDOW")" = "Postbell Settings" ] || fail "caption $(xdotool getwindowname "$PB_WINDOW")"
pb_window_geometry "$PB_WINDOW"
eval "$(xdotool getdisplaygeometry --shell)"
[ $(((PB_X + PB_W / 2 - WIDTH / 2) ** 2)) -le 400 ] || fail "the dialog is not centred: x $PB_X of $WIDTH"
xdotool windowfocus --sync "$PB_WINDOW"
xdotool type --delay 5 127.0.0.1
xdotool key Tab ctrl+a type --delay 5 "$PB_POP3_PORT"
xdotool key Tab Tab type --delay 5 "$PB_POP3_USER" # past the Security choice
xdotool key Tab type --delay 5 "$PB_POP3_PASSWORD"
xdotool key Return
pb_wait_for 300 notices_at_least 1 || fail "no notification after the first check"
first_check=$(date +%s)
last_notice | grep -q '"summary": "New mail", "body": "4 new messages\\n' || fail "notification: $(last_notice)"
[ "$(last_notice | grep -o '\\n' | wc -l)" -eq 3 ] || fail "not three senders: $(last_notice)"
last_notice | grep -q '"actions": \["default",' || fail "the notification has no default action"
pb_wait_for 100 pb_find_tray_icon "$postbell_pid" || fail "no tray icon"

# --- its click opens the window; a second copy shows it again and exits 0 ----------------
pb_bus_call /org/freedesktop/Notifications org.freedesktop.Notifications.Click
pb_wait_for 100 window_up '^Postbell$' || fail "the notification's click did not open the window"
hide_window
pb_wait_for 50 window_gone '^Postbell$' || fail "Esc did not hide the window"
second=$("$postbell" 2>&1) || fail "the second copy failed: $second"
echo "$second" | grep -q "already running" || fail "the second copy said: $second"
pb_wait_for 100 window_up '^Postbell$' || fail "the second copy did not raise the first one's window"
hide_window

# --- resume and the network's return check at once, but not within 30 s of a check -------
pb_deliver 1800000001.resume.e2e "Rita <rita@example.org>" "after the resume"
pb_bus_call /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
sleep 3
[ "$(notices)" -eq 1 ] || fail "a resume right after a check checked again"
sleep $((first_check + 31 - $(date +%s)))
pb_bus_call /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
pb_wait_for 100 notices_at_least 2 || fail "no check after a resume"
last_notice | grep -q '"body": "1 new message\\nRita <rita@example.org>: after the resume"' ||
    fail "notification after the resume: $(last_notice)"
resume_check=$(date +%s)
pb_deliver 1800000002.network.e2e "Nora <nora@example.org>" "back online"
sleep $((resume_check + 31 - $(date +%s)))
pb_bus_call /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:20
pb_bus_call /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:70
pb_wait_for 100 notices_at_least 3 || fail "no check when the network came back"
last_notice | grep -q 'Nora <nora@example.org>: back online' || fail "notification: $(last_notice)"

# --- the tray menu: Settings..., and the menu again while Settings is open: Exit ---------
right_click_icon || fail "no menu on a right click"
xdotool key s
pb_wait_for 100 window_up '^Postbell Settings$' || fail "the menu's Settings... opened no dialog"
right_click_icon || fail "no menu on a right click while Settings is open"
xdotool key x
pb_wait_for 100 sh -c "! kill -0 $postbell_pid" || fail "the menu's Exit did not end Postbell"
set +e
wait "$postbell_pid"
rc=$?
set -e
postbell_pid=""
[ "$rc" -eq 0 ] || fail "Postbell ended with exit code $rc"
echo "passed"
