#!/usr/bin/env bash
# The one list of the Debian packages that Postbell's build, demo, tests and benchmark need,
# in named groups. Installs the missing packages of the groups asked for; does nothing (not
# even apt-get update) when all are there. Run as root to install.
#   bash tools/install-packages.sh GROUP...          install what these groups need
#   bash tools/install-packages.sh --list GROUP...   print their packages, one a line
# A group may name other groups with @.
set -uo pipefail

declare -A groups=(
  # What the configured build uses (tests/tools/build_packages.py holds CMake to this).
  [build]="build-essential cmake pkg-config qt6-base-dev libssl-dev libsqlite3-dev
           qtkeychain-qt6-dev libxcb1-dev googletest libgtest-dev"
  # To build and start it: the user's store is read with sqlite3.
  [run]="@build sqlite3"
  # The demo: its mail server, the sample mailbox's scripts, the store, clicks and screenshots.
  [demo]="python3 sqlite3 dovecot-core dovecot-pop3d xdotool imagemagick"
  # A display of our own: Xvfb with trayer as an XEmbed tray.
  [virtual-display]="xvfb xauth x11-utils trayer fonts-dejavu-core"
  # The desktop's services on a private session bus: a StatusNotifierItem tray and a
  # notification daemon.
  [desktop-services]="dbus-daemon dbus-bin haskell-status-notifier-item-utils haskell-gtk-sni-tray-utils dunst"
  # Qt's platform plugin for a Wayland desktop without X.
  [wayland]="qt6-wayland"
  # Everything the test command needs.
  [tests]="@build @demo @virtual-display @desktop-services iproute2 time openssl ca-certificates
           gnome-keyring python3-dbus python3-gi"
  # The Debian package of the build, and its dependency list.
  [package]="dpkg-dev file"
  # The benchmark: fetchmail as the floor of the comparison.
  [benchmark]="@build @demo @virtual-display fetchmail"
  # The dialogue's libFuzzer target.
  [fuzz]="@build clang-14 libfuzzer-14-dev"
)

# expand GROUP: its packages, groups named with @ expanded, one a line.
expand() {
  local item
  [ -n "${groups[$1]+set}" ] || { echo "install-packages.sh: no group named $1" >&2; return 1; }
  for item in ${groups[$1]}; do
    if [ "${item:0:1}" = @ ]; then expand "${item:1}" || return 1; else echo "$item"; fi
  done
}

list=""
[ "${1:-}" = --list ] && { list=1; shift; }
[ $# -gt 0 ] || { echo "usage: install-packages.sh [--list] GROUP... (groups: ${!groups[*]})" >&2; exit 2; }
packages=()
for group; do
  expanded=$(expand "$group") || exit 2
  mapfile -t -O "${#packages[@]}" packages <<<"$expanded"
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | awk 'NF && !seen[$0]++')
if [ -n "$list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" != installed ]; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (${missing[*]}): run as root" >&2
  exit 1
fi

echo "installing ${missing[*]}"
# No package may start its system service meanwhile (Dovecot's would keep port 110).
policy_made=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
  policy_made=1
fi
trap '[ -n "$policy_made" ] && rm -f /usr/sbin/policy-rc.d' EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update -o DPkg::Lock::Timeout=600 &&
  apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
