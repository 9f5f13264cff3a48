# Shell helpers for driving Postbell on an X display: a private Xvfb with trayer (XEmbed) or
# gtk-sni-tray-standalone (StatusNotifierItem) as the tray host and dunst as the notification
# daemon on a private session bus, a store seeded with the sqlite3 tool as a person could seed
# it, and the tray icon found, grabbed and told apart by its colours. Sourced (not run) by the
# end-to-end tests and by the demo of tools/postbell.sh; every name starts with pb_.
#
# Needs: Xvfb, trayer, xdotool, sqlite3, od, ImageMagick (import, convert), and for the bus
# dbus-daemon, dbus-send, dunst, status-notifier-watcher and gtk-sni-tray-standalone.
# shellcheck shell=bash
# shellcheck disable=SC2034  # the PB_ variables are set for the caller

# The key every value of Postbell lives under.
PB_KEY='Software\Veltrane\Postbell'
# This folder: the other helpers (Dovecot, the mailbox generator, the scripted servers).
PB_SUPPORT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# pb_wait_for TENTHS COMMAND...: polls until the command succeeds, at most TENTHS tenths
# of a second. The command runs in this shell, so the variables it sets stay set.
pb_wait_for() {
    local tries=$1; shift
    while [ "$tries" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# pb_start_display WORKDIR [SCREEN]: starts Xvfb on a free display and trayer on it as the
# tray host, and waits until trayer's panel shows; only then may Postbell start, since a
# program started before the tray host finds no tray. Exports DISPLAY; sets PB_XVFB_PID and
# PB_TRAYER_PID as soon as each process exists, so that the caller's trap can end them even
# when this fails half-way. Logs go to WORKDIR/xvfb.log and WORKDIR/trayer.log.
pb_start_display() {
    pb_start_xvfb "$@" && pb_start_trayer "$1"
}

# pb_start_xvfb WORKDIR [SCREEN]: the Xvfb half of pb_start_display, for a display that is
# to begin without a tray host.
pb_start_xvfb() {
    local work=$1 screen=${2:-1280x800x24} number
    PB_XVFB_PID="" PB_TRAYER_PID=""
    rm -f "$work/display"
    # Xvfb picks a free display itself and names it once it accepts connections: no race
    # with another X server starting at the same time.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$work/display" </dev/null \
        >"$work/xvfb.log" 2>&1 &
    PB_XVFB_PID=$!
    if ! pb_wait_for 200 grep -q '^[0-9]' "$work/display"; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        return 1
    fi
    number=$(head -n 1 "$work/display")
    export DISPLAY=":$number"
}

# pb_start_trayer WORKDIR: the tray host half of pb_start_display, on DISPLAY.
pb_start_trayer() {
    local work=$1
    trayer --edge bottom --align right --widthtype request --height 32 --SetDockType true \
        --expand true </dev/null >"$work/trayer.log" 2>&1 &
    PB_TRAYER_PID=$!
    if ! pb_wait_for 200 xdotool search --onlyvisible --name '^panel$'; then
        echo "trayer showed no panel on $DISPLAY:" >&2
        cat "$work/trayer.log" >&2
        return 1
    fi
}

# pb_start_sni_tray WORKDIR: a StatusNotifierItem watcher, then gtk-sni-tray-standalone as the
# host, a bar at the bottom of DISPLAY; waits until the host is registered. (The host's own
# --watcher races with its registration and ends it now and then.) Sets PB_SNI_WATCHER_PID and
# PB_SNI_PID.
pb_start_sni_tray() {
    status-notifier-watcher </dev/null >"$1/sni-watcher.log" 2>&1 &
    PB_SNI_WATCHER_PID=$!
    pb_wait_for 100 pb_name_has_owner org.kde.StatusNotifierWatcher || return 1
    gtk-sni-tray-standalone --bottom --end --size 32 </dev/null >"$1/sni-tray.log" 2>&1 &
    PB_SNI_PID=$!
    pb_wait_for 200 pb_sni_host_registered || { echo "no StatusNotifierItem host:" >&2; cat "$1/sni-tray.log" >&2; return 1; }
}

# pb_find_sni_icon: where the host of pb_start_sni_tray draws the one item, at the end of its
# bar: sets PB_ICON_X, PB_ICON_Y, PB_ICON_W, PB_ICON_H as pb_find_tray_icon does.
pb_find_sni_icon() {
    pb_find_window "$PB_SNI_PID" '^gtk-sni-tray-standalone$' && pb_window_geometry "$PB_WINDOW" || return 1
    PB_ICON_X=$((PB_X + PB_W - PB_H)) PB_ICON_Y=$PB_Y PB_ICON_W=$PB_H PB_ICON_H=$PB_H
}

pb_sni_host_registered() {
    dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
        string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q 'boolean true'
}

# pb_stop_sni_tray: ends what pb_start_sni_tray started.
pb_stop_sni_tray() {
    local pid
    for pid in "${PB_SNI_PID:-}" "${PB_SNI_WATCHER_PID:-}"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && { wait "$pid" 2>/dev/null || true; }
    done
    PB_SNI_PID="" PB_SNI_WATCHER_PID=""
    return 0
}

# pb_stop_display: ends what pb_start_display and pb_start_sni_tray started.
pb_stop_display() {
    pb_stop_sni_tray
    [ -n "${PB_TRAYER_PID:-}" ] && kill "$PB_TRAYER_PID" 2>/dev/null && wait "$PB_TRAYER_PID" 2>/dev/null
    [ -n "${PB_XVFB_PID:-}" ] && kill "$PB_XVFB_PID" 2>/dev/null && wait "$PB_XVFB_PID" 2>/dev/null
    PB_TRAYER_PID="" PB_XVFB_PID=""
    return 0
}

# --- the store --------------------------------------------------------------------------

# pb_sql_text TEXT: the SQL blob of a REG_SZ value: the bytes and one zero byte.
pb_sql_text() { printf "X'%s00'" "$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n')"; }

# pb_sql_dword N: the SQL blob of a REG_DWORD value: four bytes, little-endian.
pb_sql_dword() {
    printf "X'%02x%02x%02x%02x'" $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255))
}

# pb_sql_file FILE: the SQL blob of a REG_BINARY value holding the file's bytes.
pb_sql_file() { printf "X'%s'" "$(od -An -v -tx1 "$1" | tr -d ' \n')"; }

# pb_store_seed STORE NAME TYPE BLOB [NAME TYPE BLOB]...: creates the store (folder 0700,
# file 0600, the tables and the key rows) when it is not there, and writes the values.
# TYPE is 1 (REG_SZ), 3 (REG_BINARY) or 4 (REG_DWORD); BLOB an SQL blob from pb_sql_*.
pb_store_seed() {
    local store=$1 rows="" separator=""
    shift
    while [ $# -ge 3 ]; do
        rows+="$separator('$PB_KEY', '$1', $2, $3)"
        separator=", "
        shift 3
    done
    mkdir -p -m 700 "$(dirname "$store")"
    (umask 077 && { cat "$PB_SUPPORT/../../resources/StoreSchema.sql"
                    echo "${rows:+INSERT OR REPLACE INTO value VALUES $rows;}"; } | sqlite3 "$store"
    ) && chmod 600 "$store"
}

# pb_stored_hex STORE NAME: the value's bytes in upper-case hex; empty when there is none.
pb_stored_hex() {
    sqlite3 -readonly "$1" "SELECT hex(data) FROM value WHERE key = '$PB_KEY' AND name = '$2'" 2>/dev/null
}

# --- the tray icon ----------------------------------------------------------------------

# The new-mail picture is a golden envelope, the error picture has a red badge; the normal
# picture has neither colour.
PB_NEW_MAIL_GOLD='#ffd21a'
PB_ERROR_RED='#d81e1e'

# pb_find_tray_icon PID: true when the program shows its tray icon in an XEmbed tray (its
# visible window of at most 32 pixels); sets PB_ICON (the window) and PB_ICON_X, PB_ICON_Y,
# PB_ICON_W, PB_ICON_H.
pb_find_tray_icon() {
    local wid geometry WINDOW X Y WIDTH HEIGHT SCREEN
    for wid in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
        geometry=$(xdotool getwindowgeometry --shell "$wid" 2>/dev/null) || continue
        eval "$geometry"
        if [ "$WIDTH" -le 32 ] && [ "$HEIGHT" -le 32 ]; then
            PB_ICON=$wid PB_ICON_X=$X PB_ICON_Y=$Y PB_ICON_W=$WIDTH PB_ICON_H=$HEIGHT
            return 0
        fi
    done
    return 1
}

# pb_find_window PID TITLE-REGEX: true when the program shows a window whose title matches,
# other than its tray icon (which bears the program's name too); sets PB_WINDOW.
pb_find_window() {
    local wid
    PB_WINDOW=""
    # --all: without it xdotool takes windows that meet either condition.
    for wid in $(xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null); do
        pb_window_geometry "$wid" || continue
        if [ "$PB_W" -gt 32 ] || [ "$PB_H" -gt 32 ]; then
            PB_WINDOW=$wid
            return 0
        fi
    done
    return 1
}

# pb_window_geometry WINDOW: sets PB_X, PB_Y, PB_W, PB_H to the window's place and size.
pb_window_geometry() {
    local geometry WINDOW X Y WIDTH HEIGHT SCREEN
    geometry=$(xdotool getwindowgeometry --shell "$1" 2>/dev/null) || return 1
    eval "$geometry"
    PB_X=$X PB_Y=$Y PB_W=$WIDTH PB_H=$HEIGHT
}

# pb_grab FILE X Y W H: a screenshot of that part of the screen.
pb_grab() { import -window root -crop "${4}x${5}+${2}+${3}" +repage "$1"; }

# pb_grab_icon FILE: a screenshot of the icon found by pb_find_tray_icon.
pb_grab_icon() { pb_grab "$1" "$PB_ICON_X" "$PB_ICON_Y" "$PB_ICON_W" "$PB_ICON_H"; }

# pb_colour_share FILE COLOUR: the share (0 to 1) of the picture's pixels near that colour.
pb_colour_share() {
    convert "$1" -alpha off -fuzz 12% -fill black +opaque "$2" -fill white -opaque "$2" \
        -colorspace gray -format '%[fx:mean]' info:
}

# pb_icon_shows PICTURE FILE: grabs the icon into FILE and tells whether it shows PICTURE:
# normal, new-mail or error.
pb_icon_shows() {
    local gold red
    pb_grab_icon "$2" || return 1
    gold=$(pb_colour_share "$2" "$PB_NEW_MAIL_GOLD") || return 1
    red=$(pb_colour_share "$2" "$PB_ERROR_RED") || return 1
    case $1 in
        new-mail) awk -v g="$gold" 'BEGIN { exit !(g > 0.15) }' ;;
        error) awk -v g="$gold" -v r="$red" 'BEGIN { exit !(r > 0.05 && g < 0.02) }' ;;
        normal) awk -v g="$gold" -v r="$red" 'BEGIN { exit !(g < 0.02 && r < 0.02) }' ;;
        *) return 2 ;;
    esac
}

# --- the mail server and a private D-Bus bus ----------------------------------------------

# pb_mailbox SUPPORT_DIR COUNT: a Dovecot user with COUNT generated messages, on the Dovecot
# named by POSTBELL_TEST_POP3_PORT and POSTBELL_TEST_POP3_DIR, else on one started here
# (needs root). Sets PB_POP3_PORT, PB_POP3_USER, PB_POP3_PASSWORD, PB_MAILDIR and, for one
# started here, PB_OWN_DOVECOT (stop it with pb_stop_mailbox). Returns 77 when it cannot.
pb_mailbox() {
    local support=$1 dovecot_dir
    PB_OWN_DOVECOT=""
    if [ -n "${POSTBELL_TEST_POP3_PORT:-}" ] && [ -n "${POSTBELL_TEST_POP3_DIR:-}" ]; then
        PB_POP3_PORT=$POSTBELL_TEST_POP3_PORT
        dovecot_dir=$POSTBELL_TEST_POP3_DIR
    else
        [ "$(id -u)" -eq 0 ] && command -v dovecot >/dev/null || return 77
        eval "$(python3 "$support/dovecot.py" start)"
        PB_OWN_DOVECOT=$DOVECOT_DIR PB_POP3_PORT=$DOVECOT_PORT dovecot_dir=$DOVECOT_DIR
    fi
    PB_POP3_USER="e2e$$" PB_POP3_PASSWORD="pw-$$"
    PB_MAILDIR=$(python3 "$support/dovecot.py" adduser "$dovecot_dir" "$PB_POP3_USER" "$PB_POP3_PASSWORD")
    python3 "$support/maildir_gen.py" "$PB_MAILDIR" "$2" --seed 7 --owner 65534:65534
}

pb_stop_mailbox() {
    [ -n "${PB_OWN_DOVECOT:-}" ] && python3 "$1/dovecot.py" stop "$PB_OWN_DOVECOT" && rm -rf "$PB_OWN_DOVECOT"
    PB_OWN_DOVECOT=""
}

# pb_deliver NAME FROM SUBJECT: a new message in the mailbox made by pb_mailbox.
pb_deliver() {
    printf 'From: %s\nSubject: %s\n\nhello\n' "$2" "$3" >"$PB_MAILDIR/new/$1"
    chown 65534:65534 "$PB_MAILDIR/new/$1"
}

# pb_start_private_bus WORK [BUS_SCRIPT]: a D-Bus daemon of its own, used as both session and
# system bus, with dunst as the notification daemon on DISPLAY (whose own time-outs never end a
# notification: only a time-out the program asks for does), and, given the end-to-end tests'
# desktop_bus.py, its fakes of logind and NetworkManager and its recorder of notifications,
# one JSON line each in WORK/notices.
pb_start_private_bus() {
    local work=$1 script=${2:-}
    PB_BUS_PID="" PB_FAKE_PID="" PB_DUNST_PID=""
    # No service activation: nothing of the real desktop (a keyring's prompt, say) starts on it.
    cat >"$work/bus.conf" <<'CONF'
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-address=3 3>"$work/bus" </dev/null \
        >/dev/null 2>&1 &
    PB_BUS_PID=$!
    pb_wait_for 100 grep -q . "$work/bus" || return 1
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
    export DBUS_SESSION_BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS
    : >"$work/notices"
    if [ -n "$script" ]; then
        /usr/bin/python3 "$script" serve "$work/notices" </dev/null >"$work/fake-bus.log" 2>&1 &
        PB_FAKE_PID=$!
        pb_wait_for 100 grep -q '^ready' "$work/fake-bus.log" || return 1
    fi
    printf '[global]\n origin = bottom-right\n offset = 8x44\n font = DejaVu Sans 9\n markup = full\n' >"$work/dunstrc"
    printf '[urgency_%s]\n timeout = 0\n' low normal critical >>"$work/dunstrc"
    dunst -config "$work/dunstrc" </dev/null >"$work/dunst.log" 2>&1 &
    PB_DUNST_PID=$!
    pb_wait_for 100 pb_name_has_owner org.freedesktop.Notifications
}

pb_name_has_owner() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

pb_stop_private_bus() {
    local pid
    for pid in "${PB_DUNST_PID:-}" "${PB_FAKE_PID:-}" "${PB_BUS_PID:-}"; do
        [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    PB_DUNST_PID="" PB_FAKE_PID="" PB_BUS_PID=""
    return 0
}

# pb_bus_call OBJECT-PATH INTERFACE.METHOD [ARG]...: a call to the fake services.
pb_bus_call() {
    local path=$1 method=$2 service
    shift 2
    case $path in
        */login1) service=org.freedesktop.login1 ;;
        *) service=org.freedesktop.NetworkManager ;;
    esac
    dbus-send --session --print-reply --dest="$service" "$path" "$method" "$@" >/dev/null
}

# --- end-to-end scripts -------------------------------------------------------------------

# pb_e2e_begin TOOL...: the start of an end-to-end script: exits 77 (skipped) when a tool is
# missing, makes PB_WORK with its own XDG_CONFIG_HOME and XDG_RUNTIME_DIR (PB_STORE is the
# store's path there), and at exit ends whatever the pb_ helpers started, and the processes
# the script adds to PB_MORE_PIDS, and removes PB_WORK.
pb_e2e_begin() {
    local tool
    for tool; do command -v "$tool" >/dev/null || pb_skip "$tool is not installed"; done
    PB_WORK=$(mktemp -d /tmp/pbe2e.XXXXXX) PB_PID="" PB_MORE_PIDS=()
    export XDG_CONFIG_HOME=$PB_WORK/config XDG_RUNTIME_DIR=$PB_WORK/runtime
    mkdir -p -m 700 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
    PB_STORE=$XDG_CONFIG_HOME/postbell/registry.sqlite3
    trap pb_e2e_end EXIT
    trap 'exit 130' INT TERM HUP
}

pb_e2e_end() {
    set +e
    [ -n "$PB_PID" ] && kill -KILL "$PB_PID" 2>/dev/null && wait "$PB_PID" 2>/dev/null
    for pid in "${PB_MORE_PIDS[@]}"; do kill "$pid" && wait "$pid"; done 2>/dev/null
    pb_stop_private_bus
    pb_stop_display
    pb_stop_mailbox "$PB_SUPPORT"
    rm -rf "$PB_WORK"
}

pb_skip() { echo "SKIPPED: $*"; exit 77; }

# pb_fail TEXT: ends the script as failed, with Postbell's output and the notifications seen.
pb_fail() {
    local log
    echo "FAILED: $*"
    for log in postbell.log notices sni-tray.log; do
        [ -f "$PB_WORK/$log" ] && sed "s/^/$log: /" "$PB_WORK/$log"
    done
    exit 1
}

# pb_start_postbell BINARY: starts it in the background on DISPLAY, its output in
# PB_WORK/postbell.log; sets PB_PID. In a sanitizer build the system libraries' leaks are
# suppressed.
pb_start_postbell() {
    LSAN_OPTIONS="suppressions=$PB_SUPPORT/../lsan.supp:print_suppressions=0" \
        env -u QT_QPA_PLATFORM "$1" </dev/null >"$PB_WORK/postbell.log" 2>&1 &
    PB_PID=$!
}

# pb_end_postbell: SIGTERM, then at most 30 s for it to end (else SIGKILL); PB_EXIT is its
# exit code.
pb_end_postbell() {
    pb_gone() { ! kill -0 "$PB_PID" 2>/dev/null; }
    kill -TERM "$PB_PID" 2>/dev/null || true
    pb_wait_for 300 pb_gone || kill -KILL "$PB_PID" 2>/dev/null || true
    PB_EXIT=0
    wait "$PB_PID" || PB_EXIT=$?
    PB_PID=""
}
