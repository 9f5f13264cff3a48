#!/usr/bin/env bash
# The Debian package, checked as a user would meet it: built with CPack from a finished
# build, installed with apt-get (so that its declared dependencies are honoured), its files
# listed, the installed postbell-check run with a wrong command line (it must print its
# usage and exit 4), and the package removed again, whatever happened.
#
#   bash tools/package-check.sh BUILD_DIR          (as root)
#
# Exit codes: 0 passed, 1 failed, 77 skipped (a postbell package was installed before;
# it is left as it is).
set -uo pipefail

build=${1:?usage: package-check.sh BUILD_DIR}
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
lock=/tmp/postbell-package-check.lock
installed_here=""

fail() { echo "package check FAILED: $*"; exit 1; }

remove_package() {
    [ -n "$installed_here" ] || return 0
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=600 postbell >/dev/null ||
        echo "could not remove the postbell package: remove it with apt-get purge postbell"
    installed_here=""
}
trap remove_package EXIT
trap 'exit 130' INT TERM HUP

[ "$(id -u)" -eq 0 ] || fail "run as root"
# cpack's dependency list needs dpkg-shlibdeps and file.
bash "$repo/tools/install-packages.sh" package || fail "could not install the packaging tools"
[ -f "$build/CPackConfig.cmake" ] || fail "$build is not a configured build folder"
[ -x "$build/engine/postbell-check" ] || fail "$build holds no postbell-check: build it first"

# Two test runs on one machine must not install and remove the package under each other.
exec 9>"$lock" || fail "cannot open $lock"
flock -w 600 9 || fail "another package check holds $lock"

if dpkg-query -W -f='${db:Status-Status}' postbell 2>/dev/null | grep -q '^installed$'; then
    echo "SKIPPED: a postbell package is installed already; it is not replaced"
    exit 77
fi

rm -f "$build"/postbell_*.deb
(cd "$build" && cpack -G DEB) >"$build/cpack.log" 2>&1 || { cat "$build/cpack.log"; fail "cpack -G DEB"; }
debs=("$build"/postbell_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single postbell_*.deb"
fi
deb=$(realpath "${debs[0]}")
echo "built $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"

installed_here=1
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 \
    "$deb" >"$build/apt-install.log" 2>&1 || { cat "$build/apt-install.log"; fail "apt-get install $deb"; }

files=$(dpkg -L postbell) || fail "dpkg -L postbell"
expected=(/usr/bin/postbell-check /usr/share/man/man1/postbell-check.1.gz /usr/share/doc/postbell/copyright)
if [ -x "$build/app/postbell" ]; then
    expected+=(/usr/bin/postbell /usr/share/man/man1/postbell.1.gz /usr/share/applications/postbell.desktop
               /usr/share/icons/hicolor/scalable/apps/postbell.svg /usr/share/icons/hicolor/32x32/apps/postbell.png)
fi
for path in "${expected[@]}"; do
    grep -qx -- "$path" <<<"$files" || fail "the package does not install $path"
done

usage=$(/usr/bin/postbell-check --no-such-option 2>&1 </dev/null)
rc=$?
echo "/usr/bin/postbell-check --no-such-option: exit $rc"
echo "  ${usage//$'\n'/$'\n'  }"
[ "$rc" -eq 4 ] || fail "exit code $rc, expected 4"
grep -q '^usage: postbell-check ' <<<"$usage" || fail "no usage printed"

remove_package
dpkg-query -W -f='${db:Status-Status}' postbell 2>/dev/null | grep -q '^installed$' &&
    fail "the package is still installed after apt-get purge"
echo "package check passed"
