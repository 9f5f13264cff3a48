#!/usr/bin/env bash
# The running program's costs, measured on a virtual display with trayer as the tray host
# against a Dovecot on loopback; called by bench.py, which prints the figures.
#
#   desktop_bench.sh POSTBELL PORT PASSWORD SMALL_USER SMALL_DIGESTS BIG_USER BIG_DIGESTS \
#                    BIG_MAILDIR IDLE_SECONDS STARTS [MINIMAL_TRAY]
#
# SMALL_DIGESTS and BIG_DIGESTS are the number of distinct digests a check of each mailbox
# saves (UIDList); the program is seen to have finished a check when UIDList holds them.
#   - STARTS starts against SMALL_USER: the time from the start to the tray icon being shown
#     (its visible window of at most 32 pixels). After the first start's first check:
#     resident memory, then the voluntary context switches of all its threads over
#     IDLE_SECONDS with nothing to do (the check interval is 5 minutes). After each start, the
#     same time for MINIMAL_TRAY (bench/minimal_tray.cpp), when given, showing Postbell's icon.
#   - One start against BIG_USER with a 1-minute interval: resident memory after its first
#     check, then one message is delivered and the memory read again after the second check.
# Prints KEY=VALUE lines on standard output; progress goes to standard error.
set -uo pipefail

postbell=$1 port=$2 password=$3 small_user=$4 small_digests=$5 big_user=$6 big_digests=$7
big_maildir=$8 idle_seconds=$9 starts=${10} minimal_tray=${11:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tools/support/desktop.sh
. "$here/../tools/support/desktop.sh"

work=$(mktemp -d /tmp/pbbench.XXXXXX)
postbell_pid=""

cleanup() {
    stop_postbell
    pb_stop_display
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

note() { echo "  $*" >&2; }
fail() { echo "desktop_bench: $*" >&2; [ -f "$work/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log" >&2; exit 1; }

# now_us: microseconds, without starting a process.
now_us() { local t=${EPOCHREALTIME/./}; echo "$t"; }

# stop_postbell: SIGTERM, as a desktop session ends it; SIGKILL after 30 s.
stop_postbell() {
    [ -n "$postbell_pid" ] || return 0
    kill -TERM "$postbell_pid" 2>/dev/null
    for _ in $(seq 300); do
        kill -0 "$postbell_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$postbell_pid" 2>/dev/null
    wait "$postbell_pid" 2>/dev/null
    postbell_pid=""
}

# start_postbell USER DELAY: a fresh store for USER (interval DELAY minutes), then the program;
# sets postbell_pid, store and started_us.
start_postbell() {
    local config=$work/config-$1-$RANDOM
    store=$config/postbell/registry.sqlite3
    pb_store_seed "$store" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$port")" \
        User 1 "$(pb_sql_text "$1")" Password 1 "$(pb_sql_text "$password")" \
        Delay 4 "$(pb_sql_dword "$2")" || fail "could not seed the store"
    started_us=$(now_us)
    XDG_CONFIG_HOME=$config env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
    postbell_pid=$!
}

# start_minimal_tray: the yardstick, showing Postbell's tray picture; sets postbell_pid and
# started_us, so that wait_for_icon and stop_postbell serve it too.
start_minimal_tray() {
    started_us=$(now_us)
    env -u QT_QPA_PLATFORM "$minimal_tray" "$here/../resources/icons/png/tray-normal-32.png" \
        </dev/null >"$work/postbell.log" 2>&1 &
    postbell_pid=$!
}

# wait_for_icon: polls every 20 ms for at most 30 s; prints the milliseconds since the start.
wait_for_icon() {
    local deadline=$(( $(now_us) + 30000000 ))
    until pb_find_tray_icon "$postbell_pid"; do
        [ "$(now_us)" -lt "$deadline" ] || fail "no tray icon within 30 s"
        kill -0 "$postbell_pid" 2>/dev/null || fail "postbell ended"
        sleep 0.02
    done
    echo $(( ($(now_us) - started_us) / 1000 ))
}

# wait_for_digests COUNT: until the store's UIDList holds COUNT digests (at most 300 s).
wait_for_digests() {
    local deadline=$(( $(now_us) + 300000000 )) length
    while :; do
        length=$(sqlite3 -readonly "$store" "SELECT length(data) FROM value WHERE name = 'UIDList'" 2>/dev/null)
        [ "${length:-0}" -ge $(( $1 * 16 )) ] && return 0
        [ "$(now_us)" -lt "$deadline" ] || fail "UIDList holds ${length:-no} bytes after 300 s, expected $(( $1 * 16 ))"
        kill -0 "$postbell_pid" 2>/dev/null || fail "postbell ended"
        sleep 0.05
    done
}

# memory: VmRSS and RssAnon of the program in KiB, as "RSS ANON".
memory() {
    awk '/^VmRSS:/ { r = $2 } /^RssAnon:/ { a = $2 } END { print r, a }' "/proc/$postbell_pid/status"
}

# switches: "TID NAME COUNT" for each thread, COUNT its voluntary context switches so far.
switches() {
    local task
    for task in /proc/"$postbell_pid"/task/*; do
        printf '%s %s %s\n' "${task##*/}" "$(tr ' ' _ <"$task/comm")" \
            "$(awk '/^voluntary_ctxt_switches:/ { print $2 }' "$task/status")"
    done 2>/dev/null
}

for tool in Xvfb trayer xdotool sqlite3; do
    command -v "$tool" >/dev/null || fail "needs $tool"
done
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
pb_start_display "$work" || fail "no X display with a tray host"

# --- start to tray icon; idle cost of the first start --------------------------------------
for n in $(seq "$starts"); do
    start_postbell "$small_user" 5
    icon_ms=$(wait_for_icon) || exit 1
    echo "icon_ms=$icon_ms"
    note "start $n: tray icon after $icon_ms ms"
    if [ "$n" -eq 1 ]; then
        wait_for_digests "$small_digests"
        sleep 2 # the status and tooltip of the finished check
        read -r rss anon < <(memory)
        echo "start_rss_kb=$rss"
        echo "start_anon_kb=$anon"
        note "after the first check of $small_digests messages: VmRSS $rss KiB, RssAnon $anon KiB"
        note "idle for $idle_seconds s..."
        switches >"$work/switches-before"
        sleep "$idle_seconds"
        switches >"$work/switches-after"
        kill -0 "$postbell_pid" 2>/dev/null || fail "postbell ended while idle"
        echo "idle_seconds=$idle_seconds"
        # Per thread: a thread that came up meanwhile counts whole.
        awk 'NR == FNR { before[$1] = $3; next }
             { d = $3 - before[$1]; total += d; printf "idle_thread=%s:%d\n", $2, d }
             END { printf "idle_switches=%d\n", total }' "$work/switches-before" "$work/switches-after"
    fi
    stop_postbell
    if [ -n "$minimal_tray" ]; then
        start_minimal_tray
        tray_ms=$(wait_for_icon) || exit 1
        echo "tray_icon_ms=$tray_ms"
        note "start $n: the minimal tray program's icon after $tray_ms ms"
        stop_postbell
    fi
done

# --- memory after checks of the big mailbox ------------------------------------------------
start_postbell "$big_user" 1
wait_for_icon >/dev/null || exit 1
wait_for_digests "$big_digests"
echo "big_check_ms=$(( ($(now_us) - started_us) / 1000 ))"
sleep 2
read -r rss anon < <(memory)
echo "big_rss_kb=$rss"
echo "big_anon_kb=$anon"
note "after a check of $big_digests messages: VmRSS $rss KiB, RssAnon $anon KiB"

# One more message, found by the check the 1-minute timer starts.
arrival=$big_maildir/new/$(date +%s).M1P$$.bench
printf 'From: late <late@example.org>\nSubject: one more\n\nbody\n' >"$arrival"
chown 65534:65534 "$arrival"
note "waiting for the second check (1-minute interval)..."
wait_for_digests $(( big_digests + 1 ))
sleep 2
read -r rss anon < <(memory)
echo "big2_rss_kb=$rss"
echo "big2_anon_kb=$anon"
note "after the second check: VmRSS $rss KiB, RssAnon $anon KiB"
stop_postbell
