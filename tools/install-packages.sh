#!/usr/bin/env bash
# Installs the Debian packages that Postbell's build, tests and benchmark need, when any is
# missing; does nothing (not even apt-get update) when all are there. Run as root.
#   bash tools/install-packages.sh          the whole list
#   bash tools/install-packages.sh PKG...   only these
set -uo pipefail

packages=(
  build-essential cmake pkg-config python3 iproute2 time
  qt6-base-dev libssl-dev libsqlite3-dev sqlite3 qtkeychain-qt6-dev
  gnome-keyring dbus-daemon openssl ca-certificates
  googletest libgtest-dev libbenchmark-dev
  dovecot-core dovecot-pop3d
  xvfb xauth x11-utils trayer xdotool imagemagick fonts-dejavu-core
  dbus-daemon python3-dbus python3-gi
)
[ $# -gt 0 ] && packages=("$@")

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
