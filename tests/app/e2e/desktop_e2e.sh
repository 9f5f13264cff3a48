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
support=$here/../../support
key='Software\Veltrane\Postbell'

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"; exit 1; }

for tool in sqlite3 python3 xdotool xdpyinfo import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d /tmp/pbe2e.XXXXXX)
postbell_pid=""
xvfb_pid=""
trayer_pid=""
own_dovecot=""

cleanup() {
    set +e
    [ -n "$postbell_pid" ] && kill -KILL "$postbell_pid" 2>/dev/null && wait "$postbell_pid" 2>/dev/null
    [ -n "$trayer_pid" ] && kill "$trayer_pid" 2>/dev/null && wait "$trayer_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    [ -n "$own_dovecot" ] && python3 "$support/dovecot.py" stop "$own_dovecot" && rm -rf "$own_dovecot"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# wait_for TENTHS COMMAND...: polls until the command succeeds, at most TENTHS tenths of a second.
wait_for() {
    local tries=$1; shift
    while [ "$tries" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# --- the POP3 server and a mailbox -------------------------------------------------------
if [ -n "${POSTBELL_TEST_POP3_PORT:-}" ] && [ -n "${POSTBELL_TEST_POP3_DIR:-}" ]; then
    port=$POSTBELL_TEST_POP3_PORT
    dovecot_dir=$POSTBELL_TEST_POP3_DIR
else
    [ "$(id -u)" -eq 0 ] || skip "no Dovecot given, and starting one needs root"
    command -v dovecot >/dev/null || skip "dovecot is not installed"
    eval "$(python3 "$support/dovecot.py" start)"
    own_dovecot=$DOVECOT_DIR
    port=$DOVECOT_PORT
    dovecot_dir=$DOVECOT_DIR
fi
user="e2e$$"
password="pw-$$"
maildir=$(python3 "$support/dovecot.py" adduser "$dovecot_dir" "$user" "$password")
python3 "$support/maildir_gen.py" "$maildir" 9 --seed 7 --owner 65534:65534
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
    display=""
    for n in $(seq 150 199); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
    done
    [ -n "$display" ] || fail "no free display number"
    Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp </dev/null >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    export DISPLAY=$display
    wait_for 200 xdpyinfo || fail "Xvfb $display did not answer"
    # The tray host must be up before Postbell looks for a tray.
    trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
        --expand true </dev/null >"$work/trayer.log" 2>&1 &
    trayer_pid=$!
    wait_for 200 xdotool search --onlyvisible --name '^panel$' || fail "trayer showed no panel"
fi

# --- the store, seeded as a person could with the sqlite3 tool ----------------------------
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_CONFIG_HOME/postbell" "$XDG_RUNTIME_DIR"
store=$XDG_CONFIG_HOME/postbell/registry.sqlite3
text_blob() { printf "X'%s00'" "$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')"; }
dword_blob() { printf "X'%02x%02x%02x%02x'" $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
sqlite3 "$store" <<SQL
CREATE TABLE key (path TEXT PRIMARY KEY NOT NULL COLLATE NOCASE);
CREATE TABLE value (key TEXT NOT NULL COLLATE NOCASE REFERENCES key(path),
  name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, name));
INSERT INTO key VALUES ('Software'), ('Software\Veltrane'), ('$key');
INSERT INTO value VALUES ('$key', 'Host', 1, $(text_blob 127.0.0.1)),
                         ('$key', 'Port', 4, $(dword_blob "$port")),
                         ('$key', 'User', 1, $(text_blob "$user")),
                         ('$key', 'Password', 1, $(text_blob "$password")),
                         ('$key', 'WindowLeft', 4, $(dword_blob 120)),
                         ('$key', 'WindowTop', 4, $(dword_blob 90));
SQL
chmod 600 "$store"
stored() { sqlite3 -readonly "$store" "SELECT hex(data) FROM value WHERE name = '$1'"; }
uidlist_is_expected() { [ "$(stored UIDList)" = "$expected" ]; }

# --- Postbell -----------------------------------------------------------------------------
# In the sanitizer build, leaks inside D-Bus and fontconfig are theirs, not ours.
LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
    env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
postbell_pid=$!

# The tray icon: Postbell's visible window of at most 32 pixels.
icon=""
find_icon() {
    local wid geometry
    for wid in $(xdotool search --onlyvisible --pid "$postbell_pid" 2>/dev/null); do
        geometry=$(xdotool getwindowgeometry --shell "$wid") || continue
        eval "$geometry"
        if [ "$WIDTH" -le 32 ] && [ "$HEIGHT" -le 32 ]; then
            icon=$wid
            return 0
        fi
    done
    return 1
}
wait_for 300 find_icon || fail "no tray icon of Postbell appeared"
eval "$(xdotool getwindowgeometry --shell "$icon")"
icon_x=$X icon_y=$Y icon_w=$WIDTH icon_h=$HEIGHT
echo "tray icon: window $icon, ${icon_w}x${icon_h} at $icon_x,$icon_y"

# The first check saves the seen digests as soon as it has finished: no shut-down needed.
wait_for 600 uidlist_is_expected || fail "UIDList after the first check: '$(stored UIDList)', expected '$expected'"

# share_of_colour FILE COLOUR: the share of the picture's pixels near that colour.
share_of_colour() {
    convert "$1" -alpha off -fuzz 12% -fill black +opaque "$2" -fill white -opaque "$2" \
        -colorspace gray -format '%[fx:mean]' info:
}
grab_icon() { import -window root -crop "${icon_w}x${icon_h}+${icon_x}+${icon_y}" +repage "$1"; }
# The new-mail picture is a golden envelope; the normal one has no gold.
new_mail_gold='#ffd21a'
icon_is_new_mail() {
    grab_icon "$work/icon-new-mail.png"
    awk -v g="$(share_of_colour "$work/icon-new-mail.png" "$new_mail_gold")" 'BEGIN { exit !(g > 0.15) }'
}
wait_for 50 icon_is_new_mail || fail "the icon does not show new mail"

panel=$(xdotool search --onlyvisible --name '^panel$' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$panel")"
import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/e2e-tray.png"

# A left click on the icon opens the main window and returns the icon to normal.
xdotool mousemove --sync $((icon_x + icon_w / 2)) $((icon_y + icon_h / 2)) click 1
window=""
find_window() {
    window=$(xdotool search --onlyvisible --pid "$postbell_pid" --name '^Postbell$' | head -n 1)
    [ -n "$window" ]
}
wait_for 100 find_window || fail "the main window did not come up after a click on the icon"
xdotool mousemove --sync 5 5
icon_is_normal() {
    grab_icon "$work/icon-normal.png"
    awk -v g="$(share_of_colour "$work/icon-normal.png" "$new_mail_gold")" 'BEGIN { exit !(g < 0.02) }'
}
wait_for 50 icon_is_normal || fail "the icon still shows new mail after the window was opened"

eval "$(xdotool getwindowgeometry --shell "$window")"
echo "main window: ${WIDTH}x${HEIGHT} at $X,$Y"
[ "$X" -eq 120 ] && [ "$Y" -eq 90 ] || fail "the window is not at the saved place 120,90"
sleep 0.5 # one more paint
import -window "$window" "$shots/e2e-window.png"
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
