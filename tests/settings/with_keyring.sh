#!/bin/sh
# Runs a command in a private D-Bus session with a new, unlocked GNOME keyring in a throw-away home.
set -eu
command -v dbus-run-session >/dev/null && command -v gnome-keyring-daemon >/dev/null || exit 77
home=$(mktemp -d /tmp/pbkeyring.XXXXXX)
trap 'rm -rf "$home"' EXIT
HOME="$home" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home" \
  POSTBELL_TEST_KEYRING=1 timeout 120 dbus-run-session -- sh -c \
  'echo "" | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@"
