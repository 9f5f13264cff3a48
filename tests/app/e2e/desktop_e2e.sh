#!/usr/bin/env bash
# What only the real parts show: Postbell on its own X display with a real tray host, Dovecot and
# dunst on a private D-Bus, where desktop_bus.py records what dunst is sent and fakes logind and
# NetworkManager (Debian has no real one for a private bus). No option: trayer (XEmbed) coming after
# the first-run dialog, Qt's balloon, a tray restart; --wake also the checks on resume, on the
# network's return and, in a network namespace of its own, on a point-to-point link coming up;
# --sni no tray, then a StatusNotifierItem host and its item, menu and notifications.
#   desktop_e2e.sh POSTBELL_BINARY [--wake | --sni]
set -euo pipefail
postbell=$1 mode=${2:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../../../tools/support/desktop.sh"
if [ "$mode" = --wake ] && [ -z "${PB_NETNS:-}" ]; then # a namespace of its own: no link of the host's
    [ "$(id -u)" -eq 0 ] || pb_skip "a network namespace needs root"
    exec unshare -n env PB_NETNS=1 bash "$0" "$@"
fi
pb_e2e_begin Xvfb trayer sqlite3 python3 xdotool import convert dbus-daemon dbus-send dunst dunstctl \
    status-notifier-watcher gtk-sni-tray-standalone
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || pb_skip "python3-dbus or python3-gi is not installed"
if [ -n "${PB_NETNS:-}" ]; then # with a Dovecot of its own, on the namespace's loopback
    ip link set lo up
    unset POSTBELL_TEST_POP3_PORT POSTBELL_TEST_POP3_DIR
fi
pb_mailbox "$PB_SUPPORT" 4 || pb_skip "no Dovecot given, and starting one needs root"
pb_start_xvfb "$PB_WORK" || pb_fail "no X display"
pb_start_private_bus "$PB_WORK" "$here/desktop_bus.py" || pb_fail "no private bus: $(cat "$PB_WORK"/*.log)"

notices() { grep -c "\"member\": \"$1\"${2:-}" "$PB_WORK/notices" || true; }
notices_at_least() { [ "$(notices Notify)" -ge "$1" ]; }
# The bodies go to dunst, which reads markup, escaped.
expect_notice() { grep Notify "$PB_WORK/notices" | tail -n 1 | grep -q "$1" || pb_fail "notification: $(tail -n 1 "$PB_WORK/notices")"; }
notice_id() { grep Notify "$PB_WORK/notices" | "$1" -n 1 | grep -o '"id": [0-9]*' | cut -c7-; } # head: the first, tail: the last
window_up() { pb_find_window "$PB_PID" "$1"; }
hide_window() { xdotool windowfocus --sync "$PB_WINDOW" key Escape; }
windows() { xdotool search --onlyvisible --pid "${1:-$PB_PID}" 2>/dev/null | wc -l; }
click_icon() { # then away: a --sync move to where the pointer already is waits in vain
    xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click "$1" mousemove 0 0
}
menu_key() { # a right click on the icon, then the keys of a menu entry (drawn by PID)
    local keys=$1 owner=${2:-$PB_PID} before
    before=$(windows "$owner")
    click_icon 3
    pb_wait_for 50 eval '[ "$(windows "$owner")" -gt "$before" ]' || pb_fail "no menu on a right click"
    xdotool key --delay 100 $keys
}
# Waits out the 30 s after the last check, then sends one bus call.
after_pause() { sleep $((last_check + 31 - $(date +%s))); pb_bus_call "$@"; }
# The StatusNotifierItem as its host sees it: "PICTURE<tab>TOOLTIP".
item_shows() { [[ "$(/usr/bin/python3 "$here/desktop_bus.py" item 2>/dev/null)" == "$1"* ]]; }

if [ "$mode" = --sni ]; then # a store whose messages were all seen before
    POSTBELL_PASSWORD=$PB_POP3_PASSWORD python3 "$PB_SUPPORT/pop3_oracle.py" --port "$PB_POP3_PORT" \
        --expect-seen "$PB_WORK/seen" 127.0.0.1 "$PB_POP3_USER" >/dev/null || pb_fail "the mailbox could not be read"
    pb_store_seed "$PB_STORE" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$PB_POP3_PORT")" \
        User 1 "$(pb_sql_text "$PB_POP3_USER")" Password 1 "$(pb_sql_text "$PB_POP3_PASSWORD")" Delay 4 "$(pb_sql_dword 60)" \
        UIDList 3 "$(pb_sql_file "$PB_WORK/seen")" MailProgram 1 "$(pb_sql_text "touch $PB_WORK/mail-program-started")"
    error_id=0
    pb_start_postbell "$postbell"
    pb_wait_for 150 window_up '^Postbell$' || pb_fail "no window without a tray"
    hide_window && sleep 1 && kill -0 "$PB_PID" || pb_fail "Postbell ended when its window was closed"
    pb_start_sni_tray "$PB_WORK" || pb_fail "no StatusNotifierItem host"
    pb_wait_for 100 item_shows $'normal\tNo new e-mail' || pb_fail "the host shows: $(/usr/bin/python3 "$here/desktop_bus.py" item)"
    [ "$(notices Notify)$(notices CloseNotification)" = 00 ] || pb_fail "notifications for a check without news"
    pb_find_sni_icon || pb_fail "the host shows no bar"
    for n in 1 2; do
        pb_deliver "180000000$n.sni.e2e" "Sender $n <s$n@example.org>" "arrival $n"
        menu_key "Down Down Down Down Return" "$PB_SNI_PID" # Open, Open mail program, Mark as seen, Check Mail Now
        pb_wait_for 100 notices_at_least "$n" || pb_fail "no notification for arrival $n"
    done
    expect_notice "\"replaces\": $(notice_id head), .*\"body\": \"2 new messages\\\\nSender 2"
    expect_notice '"actions": \["default", "Open", "mail-program", "Open mail program"\], "hints": {[^}]*"sound-name": "message-new-email"'
    item_shows $'new-mail\tYou have new e-mail' || pb_fail "the host shows $(/usr/bin/python3 "$here/desktop_bus.py" item)"
    menu_key "Down Down Return" "$PB_SNI_PID"
    pb_wait_for 50 test -e "$PB_WORK/mail-program-started" || pb_fail "the menu's Open mail program started nothing"
    click_icon 1
    pb_wait_for 100 window_up '^Postbell$' || pb_fail "a click on the item opened no window"
    pb_wait_for 50 item_shows $'normal\tNo new e-mail' || pb_fail "the item kept its new-mail picture"
    [ "$(notices CloseNotification)" = 1 ] || pb_fail "the notification of what was looked at stayed"
    hide_window
    for port in 9 "$PB_POP3_PORT" 9; do # nothing listens on port 9: the check fails at once
        menu_key "Down Down Down Down Down Return" "$PB_SNI_PID" # Settings...
        pb_wait_for 100 window_up '^Postbell Settings$' || pb_fail "the menu's Settings... opened no dialog"
        xdotool windowfocus --sync "$PB_WINDOW" key Tab ctrl+a type "$port"
        xdotool key Return
        [ "$port" = 9 ] || pb_wait_for 100 grep -q "\"CloseNotification\", \"id\": $error_id}" "$PB_WORK/notices" ||
            pb_fail "a good check did not close the error's notification by its id"
        [ "$port" = 9 ] || continue
        pb_wait_for 100 notices_at_least $((error_id ? 4 : 3)) || pb_fail "no notification for a failed check"
        expect_notice '"summary": "Postbell Error", "body": "Cannot connect to the mail server.".*"timeout": 10000'
        error_id=$(notice_id tail)
        pb_wait_for 100 item_shows $'error\tCannot connect' || pb_fail "the item shows no error"
    done
    sleep 9
    [ "$(dunstctl count displayed)" = 1 ] || pb_fail "the error's notification went before its 10 s"
    pb_wait_for 30 grep -q "\"NotificationClosed\", \"id\": $error_id, \"detail\": 1" "$PB_WORK/notices" ||
        pb_fail "the error's notification did not expire after 10 s"
    pb_stop_sni_tray
    pb_start_sni_tray "$PB_WORK" || pb_fail "the host did not start again"
    pb_wait_for 100 item_shows $'normal\tNo new e-mail' || pb_fail "the item came back as $(/usr/bin/python3 "$here/desktop_bus.py" item)"
    [ "$(notices Notify)" = 4 ] || pb_fail "notifications nobody asked for"
    pb_end_postbell
    [ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after SIGTERM"
    echo "passed"
    exit 0
fi

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
[ "$(grep Notify "$PB_WORK/notices" | tail -n 1 | grep -o '\\n' | wc -l)" -eq 3 ] || pb_fail "not three senders in the notification"

dunstctl action 0 # a click on the notification
pb_wait_for 100 window_up '^Postbell$' || pb_fail "the notification's click did not open the window"
xdotool windowmove --sync "$PB_WINDOW" 120 90 # where the next start must open it
hide_window
pb_wait_for 50 eval '! window_up "^Postbell\$"' || pb_fail "Esc did not hide the window"
second=$("$postbell" 2>&1) || pb_fail "the second copy failed: $second"
[[ $second == *"already running"* ]] || pb_fail "the second copy said: $second"
pb_wait_for 100 window_up '^Postbell$' || pb_fail "the second copy did not raise the first one's window"
hide_window

if [ "$mode" = --wake ]; then
    pb_deliver 1800000001.resume.e2e "Rita <rita@example.org>" "after the resume"
    pb_bus_call /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
    sleep 3
    notices_at_least 2 && pb_fail "a resume right after a check checked again"
    after_pause /org/freedesktop/login1 org.freedesktop.login1.Manager.Wake
    pb_wait_for 100 notices_at_least 2 || pb_fail "no check after a resume"
    last_check=$(date +%s)
    expect_notice '"body": "1 new message\\nRita &lt;rita@example.org&gt;: after the resume"'
    pb_deliver 1800000002.network.e2e "Nora <nora@example.org>" "back online"
    after_pause /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:20
    pb_bus_call /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.SetState uint32:70
    pb_wait_for 100 notices_at_least 3 || pb_fail "no check when the network came back"
    expect_notice '"body": "2 new messages\\nNora &lt;nora@example.org&gt;: back online\\nRita' # not looked at in between
fi

menu_key s
pb_wait_for 100 window_up '^Postbell Settings$' || pb_fail "the menu's Settings... opened no dialog"
menu_key x # the menu works while Settings is open
pb_wait_for 100 eval '! kill -0 $PB_PID' || pb_fail "the menu's Exit did not end Postbell"
pb_end_postbell
[ "$PB_EXIT" -eq 0 ] || pb_fail "exit code $PB_EXIT after Exit"

if [ "$mode" = --wake ]; then # the dial-up gate: a tun link, up and running once a process holds it
    pb_store_seed "$PB_STORE" WaitForDialup 4 "$(pb_sql_dword 1)"
    pb_deliver 1800000003.dialup.e2e "Dana <dana@example.org>" "over the dial-up link"
    pb_start_postbell "$postbell"
    /usr/bin/python3 -c 'import fcntl, os, struct, time
fcntl.ioctl(os.open("/dev/net/tun", os.O_RDWR), 0x400454CA, struct.pack("16sH", b"pbdial0", 0x1001)); time.sleep(30)' &
    PB_MORE_PIDS+=($!)
    pb_wait_for 50 ip link set pbdial0 up || pb_fail "no tun link"
    pb_wait_for 100 notices_at_least 4 || pb_fail "no check when the point-to-point link came up"
    expect_notice 'Dana &lt;dana@example.org&gt;: over the dial-up link'
    pb_end_postbell
fi

# Nothing listens on port 9: the check fails at once.
pb_store_seed "$PB_STORE" Port 4 "$(pb_sql_dword 9)" WaitForDialup 4 "$(pb_sql_dword 0)"
pb_start_postbell "$postbell"
pb_wait_for 300 pb_find_tray_icon "$PB_PID" || pb_fail "no tray icon"
pb_wait_for 100 pb_icon_shows error "$PB_WORK/icon.png" || pb_fail "the failed check shows no error picture"
[ "$(notices Notify '.*Postbell Error')" = 0 ] || pb_fail "an XEmbed tray's balloon became a notification"
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
