#!/bin/sh
# Runs a command in a private D-Bus session whose Secret Service is a new GNOME keyring,
# unlocked with an empty password, in a throw-away home; both end with the session.
#   with_keyring.sh COMMAND [ARG...]
set -eu
for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
done
home=$(mktemp -d /tmp/pbkeyring.XXXXXX)
trap 'rm -rf "$home"' EXIT
mkdir -m 700 "$home/run"
status=0
HOME="$home" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run" \
  POSTBELL_TEST_KEYRING=1 \
  timeout 120 dbus-run-session -- sh -c \
  'echo "" | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@" || status=$?
exit "$status"
