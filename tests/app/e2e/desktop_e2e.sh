#!/usr/bin/env bash
# What only the real parts show: Postbell on its own X display with trayer as tray host, a real
# Dovecot and a private D-Bus whose fake services stand in for the notification daemon, logind
# and NetworkManager. Two starts: an empty store and a tray host that comes later, as at log-on
# (--wake: the checks on resume and on the network's return); a failed check, a tray restart.
#
#   desktop_e2e.sh POSTBELL_BINARY [--wake]
set -euo pipefail
postbell=$1 wake=${2:-}
. "$(dirname "${BASH_SOURCE[0]}")/../../../tools/support/desktop.sh"
pb_e2e_begin Xvfb trayer sqlite3 python3 xdotool import convert dbus-daemon dbus-send
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || pb_skip "python3-dbus or python3-gi is not installed"
pb_mailbox "$PB_SUPPORT" 4 || pb_skip "no Dovecot given, and starting one needs root"
pb_start_xvfb "$PB_WORK" || pb_fail "no X display"
pb_start_private_bus "$(dirname "${BASH_SOURCE[0]}")" "$PB_WORK" || pb_fail "no private bus: $(cat "$PB_WORK/fake-bus.log")"

notices_at_least() { [ "$(wc -l <"$PB_WORK/notices")" -ge "$1" ]; }
expect_notice() { tail -n 1 "$PB_WORK/notices" | grep -q "$1" || pb_fail "notification: $(tail -n 1 "$PB_WORK/notices")"; }
window_up() { pb_find_window "$PB_PID" "$1"; }
hide_window() { xdotool windowfocus --sync "$PB_WINDOW" key Escape; }
windows() { xdotool search --onlyvisible --pid "$PB_PID" 2>/dev/null | wc -l; }
click_icon() { # then away: a --sync move to where the pointer already is waits in vain
    xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click "$1" mousemove 0 0
}
menu_key() { # a right click on the icon, then the key of a menu entry
    local before; before=$(windows)
    click_icon 3
    pb_wait_for 50 eval '[ "$(windows)" -gt "$before" ]' || pb_fail "no menu on a right click"
    xdotool key "$1"
}
# Waits out the 30 s after the last check, then sends one bus call.
after_pause() { sleep $((last_check + 31 - $(date +%s))); pb_bus_call "$@"; }

pb_start_postbell "$postbell"
pb_wait_for 100 window_up '^Postbell Settings$' || pb_fail "no settings dialog on an empty store"
pb_window_geometry "$PB_WINDOW"
eval "$(xdotool getdisplaygeometry --shell)"
[ $(((PB_X + PB_W / 2 - WIDTH / 2) ** 2)) -le 400 ] || pb_fail "the dialog is not centred: x $PB_X of $WIDTH"
xdotool windowfocus --sync "$PB_WINDOW" type --delay 5 127.0.0.1
xdotool key Tab ctrl+a type --delay 5 "$PB_POP3_PORT"
xdotool key Tab Tab type --delay 5 "$PB_POP3_USER" # past Security
xdotool key Tab type --delay 5 "$PB_POP3_PASSWORD"
xdotool key Return
sleep 2
kill -0 "$PB_PID" 2>/dev/null || pb_fail "Postbell ended while there was no tray yet"
pb_start_trayer "$PB_WORK" || pb_fail "no tray host"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host came up"
pb_wait_for 300 notices_at_least 1 || pb_fail "no notification after the first check"
last_check=$(date +%s)
pb_wait_for 50 pb_icon_shows new-mail "$PB_WORK/icon.png" || pb_fail "the icon does not show new mail"
expect_notice '"summary": "New mail", "body": "4 new messages\\n'
[ "$(tail -n 1 "$PB_WORK/notices" | grep -o '\\n' | wc -l)" -eq 3 ] || pb_fail "not three senders in the notification"
expect_notice '"actions": \["default",'

pb_bus_call /org/freedesktop/Notifications org.freedesktop.Notifications.Click
pb_wait_for 100 window_up '^Postbell$' || pb_fail "the notification's click did not open the window"
xdotool windowmove --sync "$PB_WINDOW" 120 90 # where the next start must open it
hide_window
pb_wait_for 50 eval '! window_up "^Postbell\$"' || pb_fail "Esc did not hide the window"
second=$("$postbell" 2>&1) || pb_fail "the second copy failed: $second"
[[ $second == *"already running"* ]] || pb_fail "the second copy said: $second"
pb_wait_for 100 window_up '^Postbell$' || pb_fail "the second copy did not raise the first one's window"
hide_window

if [ "$wake" = --wake ]; then
    pb_deliver 1800000001.resume.e2e "Rita <rita@example.org>" "after the resume"
    pb_bus_call /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
    sleep 3
    notices_at_least 2 && pb_fail "a resume right after a check checked again"
    after_pause /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
    pb_wait_for 100 notices_at_least 2 || pb_fail "no check after a resume"
    last_check=$(date +%s)
    expect_notice '"body": "1 new message\\nRita <rita@example.org>: after the resume"'
    pb_deliver 1800000002.network.e2e "Nora <nora@example.org>" "back online"
    after_pause /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:20
    pb_bus_call /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:70
    pb_wait_for 100 notices_at_least 3 || pb_fail "no check when the network came back"
    expect_notice 'Nora <nora@example.org>: back online'
fi

menu_key s
pb_wait_for 100 window_up '^Postbell Settings$' || pb_fail "the menu's Settings... opened no dialog"
menu_key x # the menu works while Settings is open
pb_wait_for 100 eval '! kill -0 $PB_PID' || pb_fail "the menu's Exit did not end Postbell"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after Exit"

# Nothing listens on port 9: the check fails at once.
pb_store_seed "$PB_STORE" Port 4 "$(pb_sql_dword 9)"
pb_start_postbell "$postbell"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon"
pb_wait_for 100 pb_icon_shows error "$PB_WORK/icon.png" || pb_fail "the failed check shows no error picture"
kill "$PB_TRAYER_PID" && wait "$PB_TRAYER_PID" 2>/dev/null || true
pb_start_trayer "$PB_WORK" || pb_fail "the tray host did not start again"
pb_wait_for 200 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon after the tray host restarted"
pb_wait_for 50 pb_icon_shows normal "$PB_WORK/icon.png" || pb_fail "the icon came back with another picture"
click_icon 1
pb_wait_for 100 window_up '^Postbell$' || pb_fail "no main window after a click on the icon"
pb_window_geometry "$PB_WINDOW"
[ "$PB_X,$PB_Y" = 120,90 ] || pb_fail "the window is at $PB_X,$PB_Y, not at the saved 120,90"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after SIGTERM"
echo "passed"
