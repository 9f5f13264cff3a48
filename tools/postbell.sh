#!/usr/bin/env bash
# Builds Postbell and runs it: bash tools/postbell.sh
#
# On Debian 12 it installs the packages that are missing (with sudo when not run as root),
# builds the desktop program into build/postbell (Release), and then:
#   - on a desktop (DISPLAY or WAYLAND_DISPLAY set) whose user has settings stored (a
#     server name in ~/.config/postbell/registry.sqlite3): starts Postbell in the
#     background with those settings, as a user would, and says how to end it;
#   - otherwise it runs the demo: a throw-away Dovecot POP3 server on 127.0.0.1 with a
#     small mailbox, a throw-away settings store pointing at it, and Postbell on the
#     desktop (or, without one, on a virtual display with trayer as its tray). A message
#     arrives after the first check; the server is stopped at the end. Screenshots of the
#     tray (normal, new mail, error) and of the window go to a folder the demo names. It
#     stops everything it started; the user's own settings are never written.
#
# Environment: POSTBELL_BUILD_DIR  build folder (default: build/postbell in the repository)
#              POSTBELL_DEMO=1     run the demo even when settings are stored
#              POSTBELL_DEMO=0     never the demo: start Postbell on the desktop even without
#                                  settings, to enter them in its Settings dialog
#              POSTBELL_DEMO_SHOTS the demo's screenshot folder (default: BUILD_DIR/demo-screenshots)
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
support=$repo/tools/support
build_dir=${POSTBELL_BUILD_DIR:-$repo/build/postbell}
shots=${POSTBELL_DEMO_SHOTS:-$build_dir/demo-screenshots}
postbell=$build_dir/app/postbell


# shellcheck source=tools/support/desktop.sh
. "$support/desktop.sh"

say() { printf '[%3ds] %s\n' "$SECONDS" "$*"; }
die() { printf 'postbell.sh: %s\n' "$*" >&2; exit 1; }
is_root() { [ "$(id -u)" -eq 0 ]; }

# as_root COMMAND...: Dovecot must start as root (it drops privileges itself) and the
# mailbox belongs to its mail user.
as_root() {
    if is_root; then "$@"; else sudo "$@"; fi
}

# install_packages GROUP...: installs the missing packages of these groups of
# tools/install-packages.sh; asks for sudo only then.
install_packages() {
    local report
    if is_root; then
        bash "$repo/tools/install-packages.sh" "$@" || die "the packages could not be installed"
        return
    fi
    # Without root the script only looks: it succeeds when nothing is missing.
    report=$(bash "$repo/tools/install-packages.sh" "$@" 2>&1) && return 0
    command -v sudo >/dev/null ||
        die "$report. Install them as root (su -c 'bash tools/install-packages.sh $*'), then run this again."
    say "installing missing packages with sudo"
    sudo bash "$repo/tools/install-packages.sh" "$@" || die "the packages could not be installed"
}

package_installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# Installing dovecot-core enables its system service, a mail server listening on every
# network at each boot: the demo starts its own, so one installed for it is switched off.
dovecot_was_installed=""
keep_system_dovecot_off() {
    [ -z "$dovecot_was_installed" ] && package_installed dovecot-core || return 0
    dovecot_was_installed=1
    if command -v systemctl >/dev/null; then
        as_root systemctl --quiet disable dovecot.service dovecot.socket 2>/dev/null
    elif command -v update-rc.d >/dev/null; then
        as_root update-rc.d dovecot disable >/dev/null 2>&1
    fi
    say "Dovecot was installed for the demo; its system service is switched off" \
        "(remove it with: sudo apt-get purge dovecot-core dovecot-pop3d)"
}

build() {
    mkdir -p "$build_dir" || die "cannot create $build_dir"
    say "building Postbell (Release) in $build_dir; the first build takes a few minutes"
    if ! cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPOSTBELL_DESKTOP=ON \
        >"$build_dir/configure.log" 2>&1; then
        tail -n 30 "$build_dir/configure.log"
        die "configuring failed; the whole output is in $build_dir/configure.log"
    fi
    if ! cmake --build "$build_dir" -j "$(nproc)" --target postbell postbell-check \
        >"$build_dir/build.log" 2>&1; then
        tail -n 40 "$build_dir/build.log"
        die "building failed; the whole output is in $build_dir/build.log"
    fi
    say "built $postbell and $build_dir/engine/postbell-check"
}

# The user's store, found as Postbell finds it.
user_store_path() {
    local config_home=${XDG_CONFIG_HOME:-}
    if [ "${config_home:0:1}" != / ]; then
        config_home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.config
    fi
    printf '%s/postbell/registry.sqlite3\n' "$config_home"
}

# True when the store names a server: a Host value that is not the empty text.
settings_stored() {
    local host
    [ -f "$1" ] || return 1
    host=$(pb_stored_hex "$1" Host)
    [ -n "$host" ] && [ "$host" != 00 ]
}

# --- Postbell with the user's settings ------------------------------------------------

# A Postbell of this user already running on this desktop: its pid, or nothing.
running_postbell() {
    local pid screen
    if [ -n "${DISPLAY:-}" ]; then screen="DISPLAY=$DISPLAY"; else screen="WAYLAND_DISPLAY=${WAYLAND_DISPLAY:-}"; fi
    for pid in $(pgrep -u "$(id -u)" -x postbell 2>/dev/null); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "$screen"; then
            echo "$pid"
            return
        fi
    done
}

start_on_desktop() {
    local pid log=$build_dir/postbell.log
    pid=$(running_postbell)
    if [ -n "$pid" ]; then
        say "Postbell is already running (pid $pid); click its icon in the tray to see its window"
        return 0
    fi
    if settings_stored "$1"; then
        say "starting Postbell with your settings from $1"
    else
        say "starting Postbell without settings: open its window and choose Settings..."
    fi
    # Detached from this terminal, as a program started from the desktop's menu is.
    setsid nohup "$postbell" </dev/null >"$log" 2>&1 &
    pid=$!
    sleep 2
    if ! kill -0 "$pid" 2>/dev/null; then
        cat "$log"
        die "Postbell ended at once; its output is above"
    fi
    cat <<EOF

Postbell is running in the background (pid $pid). It starts hidden: click its icon in the
tray (the notification area) to open its window; right-click it for Open and Exit.
It checks your mailbox now, then at the interval set in its Settings dialog.
To end it: choose Exit in the icon's menu or the window, or run  kill $pid
Its messages, if any, go to $log.
EOF
}

# --- the demo -----------------------------------------------------------------------------

work=""
dovecot_dir=""
postbell_pid=""
on_own_display=""
icon_mode=""   # x11: the icon is a window in an XEmbed tray; none: the tray draws it itself
demo_user=alex
demo_password=demo-password

cleanup() {
    set +e
    if [ -n "$postbell_pid" ]; then
        kill -KILL "$postbell_pid" 2>/dev/null
        wait "$postbell_pid" 2>/dev/null
    fi
    pb_stop_private_bus
    pb_stop_display
    if [ -n "$dovecot_dir" ]; then
        as_root python3 -B "$support/dovecot.py" stop "$dovecot_dir"
        as_root rm -rf "$dovecot_dir"
    fi
    [ -n "$work" ] && rm -rf "$work"
}

start_mail_server() {
    local started maildir
    say "starting a throw-away POP3 server (Dovecot) on 127.0.0.1"
    started=$(as_root python3 -B "$support/dovecot.py" start) || die "Dovecot did not start"
    eval "$started"
    dovecot_dir=$DOVECOT_DIR
    maildir=$(as_root python3 -B "$support/dovecot.py" adduser "$dovecot_dir" "$demo_user" "$demo_password") ||
        die "could not add the mailbox"
    demo_maildir=$maildir
    as_root python3 -B "$repo/tools/demo/sample_mail.py" fill "$demo_maildir" || die "could not fill the mailbox"
    say "mailbox '$demo_user' on port $DOVECOT_PORT holds 5 messages already read"
}

# A store of the demo's own, in the demo's folder: the server, the account, a check every
# minute, and the messages already read. One more digest, of a message deleted since, makes
# the first check write a shorter UIDList: that write shows that the check has finished.
seed_demo_store() {
    local read_hex gone_hex
    POSTBELL_PASSWORD=$demo_password python3 -B "$support/pop3_oracle.py" --port "$DOVECOT_PORT" \
        --expect-seen "$work/read.uidlist" 127.0.0.1 "$demo_user" >/dev/null ||
        die "the mailbox could not be read"
    read_hex=$(od -An -v -tx1 "$work/read.uidlist" | tr -d ' \n')
    gone_hex=$(printf '%s' 1717300999.M0P100.demo | md5sum | cut -c1-32)
    expected_uidlist=$(printf '%s' "$read_hex" | tr a-f A-F)
    demo_store=$XDG_CONFIG_HOME/postbell/registry.sqlite3
    pb_store_seed "$demo_store" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$DOVECOT_PORT")" \
        User 1 "$(pb_sql_text "$demo_user")" Password 1 "$(pb_sql_text "$demo_password")" \
        Delay 4 "$(pb_sql_dword 1)" UIDList 3 "X'$read_hex$gone_hex'" \
        WindowLeft 4 "$(pb_sql_dword 120)" WindowTop 4 "$(pb_sql_dword 90)" ||
        die "could not write the demo's settings store"
}

choose_display() {
    if [ -n "${DISPLAY:-}" ]; then
        say "the demo runs on your display $DISPLAY: watch your tray (the demo may move the mouse pointer to click Postbell's icon)"
    else
        say "starting a virtual display (Xvfb) with trayer as its tray"
        pb_start_display "$work" || die "no virtual display"
        on_own_display=1
        # A desktop's colour behind the tray, for the screenshots (ImageMagick paints it).
        display -window root -size "$(xdotool getdisplaygeometry | tr ' ' x)" \
            gradient:'#5b86b3-#2f4f72' >/dev/null 2>&1
        # Postbell belongs in this display's tray, not in one reached over the desktop's bus.
        unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
        export XDG_RUNTIME_DIR=$work/runtime
        mkdir -m 700 "$XDG_RUNTIME_DIR"
    fi
    # Windows the demo can find, click and grab, on X11 and under XWayland alike.
    export QT_QPA_PLATFORM=xcb
}

start_postbell() {
    "$postbell" </dev/null >>"$work/postbell.log" 2>&1 &
    postbell_pid=$!
    if [ "$icon_mode" != none ]; then
        if pb_wait_for "$([ -n "$on_own_display" ] && echo 300 || echo 100)" pb_find_tray_icon "$postbell_pid"; then
            icon_mode=x11
        elif [ -n "$on_own_display" ]; then
            die "Postbell showed no tray icon: $(cat "$work/postbell.log")"
        else
            # A tray that speaks StatusNotifierItem (KDE Plasma, GNOME's AppIndicator
            # extension) shows the icon in its own panel: nothing to find, click or grab.
            icon_mode=none
            say "  Postbell's icon is drawn by your desktop's tray: the demo takes whole-screen pictures"
        fi
    fi
    kill -0 "$postbell_pid" 2>/dev/null || die "Postbell ended: $(cat "$work/postbell.log")"
}

# check_failed WHAT: ends the demo when a check did not finish.
check_failed() {
    [ "$icon_mode" = none ] &&
        say "Postbell may have found no tray on your desktop (GNOME needs the AppIndicator extension)"
    die "the $1 check did not finish: $(cat "$work/postbell.log")"
}

postbell_ended() { ! kill -0 "$postbell_pid" 2>/dev/null; }

stop_postbell() {
    local rc=0
    kill -TERM "$postbell_pid" 2>/dev/null
    pb_wait_for 300 postbell_ended || kill -KILL "$postbell_pid" 2>/dev/null
    wait "$postbell_pid" || rc=$?
    postbell_pid=""
    [ "$rc" -eq 0 ] || say "Postbell ended with exit code $rc"
}

restart_postbell() {
    stop_postbell
    start_postbell
}

uidlist_is() { [ "$(pb_stored_hex "$demo_store" UIDList)" = "$1" ]; }
uidlist_digests_are() { local hex; hex=$(pb_stored_hex "$demo_store" UIDList); [ ${#hex} -eq $(($1 * 32)) ]; }

# shot_tray NAME PICTURE: waits for the icon to show PICTURE, then grabs the corner of the
# screen with the tray (and a balloon, if one shows) into NAME.png. On a desktop whose tray
# draws the icon itself, grabs the whole screen instead.
shot_tray() {
    local name=$1 picture=$2
    if [ "$icon_mode" = none ]; then
        sleep 2
        import -window root "$shots/$name-screen.png" 2>/dev/null &&
            say "  $shots/$name-screen.png (the whole screen: your tray draws the icon itself)"
        return 0
    fi
    pb_wait_for 100 pb_icon_shows "$picture" "$work/icon.png" ||
        say "  the icon did not show the $picture picture in time"
    sleep 0.3 # the balloon's own paint
    grab_tray_corner "$shots/$name.png"
    say "  $shots/$name.png"
}

# grab_tray_corner FILE: the part of the screen around the icon and any balloon above it
# (all of Postbell's visible windows while its main window is hidden), with some margin.
grab_tray_corner() {
    local wid left top right bottom screen_w screen_h margin=16
    left=$PB_ICON_X top=$PB_ICON_Y
    right=$((PB_ICON_X + PB_ICON_W)) bottom=$((PB_ICON_Y + PB_ICON_H))
    for wid in $(xdotool search --onlyvisible --pid "$postbell_pid" 2>/dev/null); do
        pb_window_geometry "$wid" || continue
        [ "$PB_X" -lt "$left" ] && left=$PB_X
        [ "$PB_Y" -lt "$top" ] && top=$PB_Y
        [ $((PB_X + PB_W)) -gt "$right" ] && right=$((PB_X + PB_W))
        [ $((PB_Y + PB_H)) -gt "$bottom" ] && bottom=$((PB_Y + PB_H))
    done
    read -r screen_w screen_h < <(xdotool getdisplaygeometry)
    # At least a small stretch of the desktop beside the icon.
    left=$((left - margin)) top=$((top - margin))
    [ $((right - left)) -ge 200 ] || left=$((right - 200))
    [ $((bottom - top)) -ge 64 ] || top=$((bottom - 64))
    right=$((right + margin)) bottom=$((bottom + margin))
    [ "$left" -ge 0 ] || left=0
    [ "$top" -ge 0 ] || top=0
    [ "$right" -le "$screen_w" ] || right=$screen_w
    [ "$bottom" -le "$screen_h" ] || bottom=$screen_h
    pb_grab "$1" "$left" "$top" $((right - left)) $((bottom - top))
}

# open_window: a click on the icon; on a desktop whose tray draws the icon itself, the user
# clicks it.
open_window() {
    if [ "$icon_mode" = x11 ]; then
        xdotool mousemove --sync $((PB_ICON_X + PB_ICON_W / 2)) $((PB_ICON_Y + PB_ICON_H / 2)) click 1
        pb_wait_for 100 pb_find_window "$postbell_pid" '^Postbell$' || return 1
        xdotool mousemove 0 0
    else
        say "  click Postbell's icon in your tray now (waiting 30 s)"
        pb_wait_for 300 pb_find_window "$postbell_pid" '^Postbell$' || return 1
    fi
    sleep 0.5 # the window's first paint
}

shot_window() {
    if ! open_window; then
        say "  the window did not open; no screenshot of it"
        return 1
    fi
    import -window "$PB_WINDOW" "$shots/$1.png" && say "  $shots/$1.png"
}

# shot_settings: the Settings dialog, opened from the main window with Alt+S and left with
# Esc (Cancel: nothing is written). Keys go to whichever window has the focus, so only on
# the demo's own display.
shot_settings() {
    local main=$PB_WINDOW
    xdotool windowfocus --sync "$main" key alt+s 2>/dev/null || return 0
    # Its title may carry the program's name after the caption.
    if ! pb_wait_for 50 pb_find_window "$postbell_pid" '^Postbell Settings'; then
        say "  the Settings dialog did not open; no screenshot of it"
        return 0
    fi
    sleep 0.5 # its first paint
    import -window "$PB_WINDOW" "$shots/settings.png" && say "  $shots/settings.png"
    xdotool windowfocus --sync "$PB_WINDOW" key Escape 2>/dev/null
    PB_WINDOW=$main
}

deliver_next() {
    as_root python3 -B "$repo/tools/demo/sample_mail.py" deliver "$demo_maildir" || die "could not deliver"
}

# shot_other_trays: on the demo's own display, the same with a StatusNotifierItem tray and a
# notification daemon, then with no tray at all; trayer is back afterwards.
shot_other_trays() {
    local width height
    read -r width height < <(xdotool getdisplaygeometry)
    say "a StatusNotifierItem tray (as KDE Plasma and GNOME's AppIndicator extension have) and dunst"
    kill "$PB_TRAYER_PID" && wait "$PB_TRAYER_PID" 2>/dev/null
    PB_TRAYER_PID=""
    pb_start_private_bus "$work" && pb_start_sni_tray "$work" || die "no StatusNotifierItem tray"
    icon_mode=none
    deliver_next
    restart_postbell
    pb_wait_for 300 uidlist_digests_are 7 || check_failed third
    sleep 1.5 # the notification's own paint
    pb_grab "$shots/tray-sni.png" $((width - 440)) $((height - 160)) 440 160 && say "  $shots/tray-sni.png"

    say "no tray at all: after 5 seconds the window comes up as Postbell's face"
    pb_stop_sni_tray
    dunstctl close-all
    deliver_next
    restart_postbell
    pb_wait_for 300 uidlist_digests_are 8 || check_failed fourth
    pb_wait_for 150 pb_find_window "$postbell_pid" '^Postbell' || die "no window without a tray"
    sleep 1 # its first paint
    import -window root "$shots/window-no-tray.png" && say "  $shots/window-no-tray.png"
    pb_start_trayer "$work" || die "trayer did not start again"
    icon_mode=""
}

run_demo() {
    local started=$SECONDS
    work=$(mktemp -d "${TMPDIR:-/tmp}/pbdemo.XXXXXX") || die "cannot create a temporary folder"
    trap cleanup EXIT
    trap 'exit 130' INT TERM HUP
    mkdir -p "$shots" && rm -f "$shots"/*.png || die "cannot use $shots"
    # Postbell, sqlite3 and the autostart entry all look here: the user's own stay untouched.
    export XDG_CONFIG_HOME=$work/config
    mkdir -m 700 "$XDG_CONFIG_HOME"

    start_mail_server
    seed_demo_store
    choose_display

    say "starting Postbell: it checks the mailbox at once (5 messages, all read before)"
    start_postbell
    pb_wait_for 300 uidlist_is "$expected_uidlist" || check_failed first
    say "first check done: no new mail"
    shot_tray tray-normal normal

    say "a new message arrives; Postbell restarts so that it checks now, not in a minute"
    deliver_next
    restart_postbell
    pb_wait_for 300 uidlist_digests_are 6 || check_failed second
    say "second check done: new mail"
    shot_tray tray-new-mail new-mail

    say "opening the main window (this also takes the new-mail picture back)"
    shot_window window && [ -n "$on_own_display" ] && shot_settings
    [ -n "$on_own_display" ] && shot_other_trays

    say "stopping the server; Postbell restarts so that its next check fails now"
    as_root python3 -B "$support/dovecot.py" stop "$dovecot_dir"
    restart_postbell
    say "the check failed: the error picture shows, with a balloon where the tray has one"
    shot_tray tray-error error
    # Only where the demo can click the icon itself: the user has clicked once already.
    [ "$icon_mode" = x11 ] && shot_window window-error

    stop_postbell
    say "demo done in $((SECONDS - started)) s; screenshots in $shots:"
    ls -1 "$shots"
}

# --- main -----------------------------------------------------------------------------------

# The demo's package groups: on a virtual display, with its tray hosts and notification
# daemon, when there is no X display to use.
demo_package_groups() {
    echo demo
    [ -n "${DISPLAY:-}" ] || printf '%s\n' virtual-display desktop-services
}

main() {
    local user_store demo_likely="" groups
    user_store=$(user_store_path)
    case ${POSTBELL_DEMO:-} in
        0)
            [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] ||
                die "POSTBELL_DEMO=0 needs a desktop (DISPLAY or WAYLAND_DISPLAY)"
            ;;
        1) demo_likely=1 ;;
        *)
            [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && demo_likely=1
            [ -f "$user_store" ] || demo_likely=1
            ;;
    esac

    package_installed dovecot-core && dovecot_was_installed=1
    groups=(run)
    # A Wayland desktop without X: Qt needs its Wayland plugin to start there.
    [ -z "${DISPLAY:-}" ] && [ -n "${WAYLAND_DISPLAY:-}" ] && groups+=(wayland)
    # One installation for everything that will surely be needed.
    [ -n "$demo_likely" ] && mapfile -t -O "${#groups[@]}" groups < <(demo_package_groups)
    say "checking the Debian packages"
    install_packages "${groups[@]}"
    keep_system_dovecot_off
    build

    if [ "${POSTBELL_DEMO:-}" = 0 ] || { [ -z "$demo_likely" ] && settings_stored "$user_store"; }; then
        start_on_desktop "$user_store"
        return
    fi
    if [ -z "${DISPLAY:-}" ]; then
        say "no X display to show the demo on: it runs on a virtual one"
    elif [ "${POSTBELL_DEMO:-}" = 1 ]; then
        say "POSTBELL_DEMO=1: running the demo"
    else
        say "no settings stored yet: running the demo (your settings stay as they are)"
    fi
    mapfile -t groups < <(demo_package_groups)
    install_packages "${groups[@]}"
    keep_system_dovecot_off
    if ! is_root && ! command -v sudo >/dev/null; then
        die "the demo's mail server needs root: run this as root, or install sudo"
    fi
    run_demo
}

main "$@"
