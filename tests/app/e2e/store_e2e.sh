#!/usr/bin/env bash
# Postbell against a store in trouble, on a real X display with a tray host and a real
# Dovecot on loopback:
#  1. a writer killed in the middle of a transaction left a hot journal that would replace
#     every value: Postbell reads the committed settings and seen list, checks, shows no new
#     mail (the committed list knew every message) and saves the list of the check;
#  2. another process holds the store in BEGIN EXCLUSIVE at start-up: the icon appears while
#     the lock is held, and the check and its save follow once the lock is gone.
#
#   store_e2e.sh POSTBELL_BINARY
#
# Uses the display in DISPLAY when POSTBELL_TEST_X=1, else starts its own Xvfb and trayer.
# Uses the Dovecot named by POSTBELL_TEST_POP3_PORT and POSTBELL_TEST_POP3_DIR, else starts
# its own (as root). Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail

postbell=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
support=$here/../../../tools/support
# shellcheck source=tools/support/desktop.sh
. "$support/desktop.sh"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; [ -f "${work:-}/postbell.log" ] && sed 's/^/postbell: /' "$work/postbell.log"; exit 1; }

for tool in sqlite3 python3 xdotool import convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

work=$(mktemp -d /tmp/pbstore.XXXXXX)
postbell_pid=""
holder_pid=""
own_dovecot=""

cleanup() {
    set +e
    [ -n "$postbell_pid" ] && kill -KILL "$postbell_pid" 2>/dev/null && wait "$postbell_pid" 2>/dev/null
    [ -n "$holder_pid" ] && kill -KILL "$holder_pid" 2>/dev/null && wait "$holder_pid" 2>/dev/null
    pb_stop_display
    [ -n "$own_dovecot" ] && python3 "$support/dovecot.py" stop "$own_dovecot" && rm -rf "$own_dovecot"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

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
user="store$$"
password="pw-$$"
maildir=$(python3 "$support/dovecot.py" adduser "$dovecot_dir" "$user" "$password")
python3 "$support/maildir_gen.py" "$maildir" 9 --seed 11 --owner 65534:65534
POSTBELL_PASSWORD=$password python3 "$support/pop3_oracle.py" --port "$port" \
    --expect-seen "$work/expected-uidlist" 127.0.0.1 "$user" >/dev/null
expected=$(od -An -v -tx1 "$work/expected-uidlist" | tr -d ' \n' | tr a-f A-F)
[ -n "$expected" ] || fail "the oracle found no messages"
# The committed list also holds the digest of a message deleted since: a check drops it.
printf '0123456789abcdef' | cat "$work/expected-uidlist" - >"$work/committed-uidlist"

if [ "${POSTBELL_TEST_X:-}" = 1 ] && [ -n "${DISPLAY:-}" ]; then
    echo "using display $DISPLAY"
else
    command -v Xvfb >/dev/null || skip "Xvfb is not installed"
    command -v trayer >/dev/null || skip "trayer is not installed"
    pb_start_display "$work" || fail "no X display with a tray host"
fi

export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
store=$XDG_CONFIG_HOME/postbell/registry.sqlite3
pb_store_seed "$store" Host 1 "$(pb_sql_text 127.0.0.1)" Port 4 "$(pb_sql_dword "$port")" \
    User 1 "$(pb_sql_text "$user")" Password 1 "$(pb_sql_text "$password")"
seed_committed_list() { pb_store_seed "$store" UIDList 3 "$(pb_sql_file "$work/committed-uidlist")"; }
uidlist_is_expected() { [ "$(pb_stored_hex "$store" UIDList)" = "$expected" ]; }

start_postbell() {
    LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0" \
        env -u QT_QPA_PLATFORM "$postbell" </dev/null >"$work/postbell.log" 2>&1 &
    postbell_pid=$!
}

stop_postbell() {
    local rc=0
    kill -TERM "$postbell_pid"
    wait "$postbell_pid" || rc=$?
    postbell_pid=""
    [ "$rc" -eq 0 ] || fail "Postbell ended with exit code $rc"
}

# --- 1. a hot journal ---------------------------------------------------------------------
seed_committed_list
# The writer replaces every value, lets the change spill into the file, and is killed; the
# subshell keeps bash's "Killed" notice out of the log.
(python3 - "$store" <<'PY' || true) 2>/dev/null
import os, signal, sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("PRAGMA cache_size = 1")
db.execute("BEGIN")
db.execute("UPDATE value SET data = zeroblob(100000)")
os.kill(os.getpid(), signal.SIGKILL)
PY
[ -s "$store-journal" ] || fail "the killed writer left no journal"

start_postbell
pb_wait_for 100 pb_find_tray_icon "$postbell_pid" || fail "no tray icon (hot journal)"
pb_wait_for 300 uidlist_is_expected || fail "UIDList after the check: '$(pb_stored_hex "$store" UIDList)'"
pb_icon_shows normal "$work/icon-1.png" || fail "new mail shown: the committed seen list was not used"
[ -e "$store-journal" ] && fail "the journal is still there"
stop_postbell
uidlist_is_expected || fail "UIDList after SIGTERM: '$(pb_stored_hex "$store" UIDList)'"
echo "hot journal: committed values read, checked, list saved"

# --- 2. a store locked at start-up --------------------------------------------------------
seed_committed_list
python3 - "$store" "$work/locked" 8 <<'PY' &
import sqlite3, sys, time
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("BEGIN EXCLUSIVE")
open(sys.argv[2], "w").close()
time.sleep(float(sys.argv[3]))
db.execute("ROLLBACK")
PY
holder_pid=$!
pb_wait_for 50 test -e "$work/locked" || fail "the lock holder did not start"

start_postbell
pb_wait_for 40 pb_find_tray_icon "$postbell_pid" || fail "no tray icon within 4 s while the store is locked"
kill -0 "$holder_pid" 2>/dev/null || fail "the lock ended before the icon was seen"
wait "$holder_pid"
holder_pid=""
pb_wait_for 100 uidlist_is_expected || fail "no check and save within 10 s of the lock's end"
pb_icon_shows normal "$work/icon-2.png" || fail "new mail shown after the locked start"
stop_postbell
echo "PASSED: hot journal and locked start"
