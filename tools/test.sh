#!/usr/bin/env bash
# The test command: sudo bash tools/test.sh (or, as root, bash tools/test.sh).
#
# On a Debian 12 machine it installs what is missing (tools/install-packages.sh), builds,
# starts a Dovecot POP3 server on loopback, and runs the suite three times:
#   normal  Release build, every test
#   asan    ASan+UBSan build, every test except those labelled `slow`
#   tsan    TSan build without the desktop program, the tests labelled `threads`
# and, after the normal run, builds the Debian package from it, installs it, runs the
# installed postbell-check and removes the package (tools/package-check.sh).
# Tests labelled `x11` start an X display of their own (Xvfb with trayer as the tray host)
# and run one at a time; the others run two at a time. It stops everything it started, prints "N passed, N failed, N skipped" over
# all runs (a build that fails counts as one failure) and exits non-zero if anything failed.
#
# Environment: POSTBELL_BUILD_ROOT  where the three builds go (default: build/ in the repo)
#              POSTBELL_ASAN_DESKTOP=OFF  leave the Qt program out of the sanitizer build
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${POSTBELL_BUILD_ROOT:-$repo/build}
asan_desktop=${POSTBELL_ASAN_DESKTOP:-ON}
jobs=2

passed=0
failed=0
skipped=0
work=""
dovecot_dir=""
run_failures=0

say() { printf '\n=== [%ss] %s\n' "$SECONDS" "$*"; }

cleanup() {
  set +e
  [ -n "$dovecot_dir" ] && python3 "$repo/tools/support/dovecot.py" stop "$dovecot_dir"
  [ -n "$work" ] && rm -rf "$work"
  [ -n "$dovecot_dir" ] && rm -rf "$dovecot_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# build NAME CMAKE-ARGS...: configure and build into $build_root/NAME.
build() {
  local name=$1; shift
  say "build $name"
  cmake -S "$repo" -B "$build_root/$name" "$@" &&
    cmake --build "$build_root/$name" -j "$jobs"
}

# count JUNIT-FILE: add one ctest run's results to the totals and to $run_failures.
count() {
  local p f s
  read -r p f s < <(python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    suite = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    print("0 0 0")
    sys.exit()
total = int(suite.get("tests", 0))
failures = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
skipped = int(suite.get("skipped", 0) or suite.get("disabled", 0))
print(total - failures - skipped, failures, skipped)
EOF
)
  passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + s))
  run_failures=$f
}

# ctest_once DIR JUNIT CTEST-ARGS...: one ctest run, counted; ctest failing with no test
# failed (no test found, a crash of ctest itself) still counts as one failure.
ctest_once() {
  local dir=$1 junit=$2 r; shift 2
  rm -f "$junit"
  ctest --test-dir "$dir" --output-on-failure --timeout 900 "$@" --output-junit "$junit"
  r=$?
  count "$junit"
  if [ $r -ne 0 ] && [ "$run_failures" -eq 0 ]; then
    echo "ctest failed without a failed test"
    failed=$((failed + 1))
  fi
  return $r
}

# step NAME EXCLUDE-REGEX INCLUDE-REGEX CMAKE-ARGS...: one build and its tests. Tests
# labelled x11 run apart, one at a time; the rest two at a time.
step() {
  local name=$1 exclude=$2 include=$3; shift 3
  local dir=$build_root/$name rc=0 filter=()
  if ! build "$name" "$@"; then
    echo "build $name FAILED"
    failed=$((failed + 1))
    return 1
  fi
  [ -n "$include" ] && filter=(-L "$include")
  say "tests of $name"
  ctest_once "$dir" "$dir/junit-main.xml" -j "$jobs" --no-tests=error "${filter[@]}" \
    -LE "x11${exclude:+|$exclude}" || rc=1
  if [ -z "$include" ]; then
    ctest_once "$dir" "$dir/junit-x11.xml" -j 1 --no-tests=ignore -L x11 ${exclude:+-LE "$exclude"} || rc=1
  fi
  return $rc
}

# package_step BUILD-DIR: the Debian package from a finished build, installed, its
# postbell-check run with a wrong command line, removed again; one test in the totals.
package_step() {
  local r=0
  say "package"
  bash "$repo/tools/package-check.sh" "$1" || r=$?
  case $r in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)); return 1 ;;
  esac
}

start_dovecot() {
  local out
  out=$(python3 "$repo/tools/support/dovecot.py" start) || return 1
  eval "$out"
  dovecot_dir=$DOVECOT_DIR
  export POSTBELL_TEST_POP3_PORT=$DOVECOT_PORT POSTBELL_TEST_POP3_DIR=$DOVECOT_DIR
  echo "Dovecot on 127.0.0.1:$DOVECOT_PORT (pid $DOVECOT_PID, $DOVECOT_DIR)"
}

main() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root: sudo bash tools/test.sh" >&2
    exit 2
  fi
  cd "$repo" || exit 1
  # The x11 tests start their own display; no test may draw on the caller's.
  unset DISPLAY
  if ! bash "$repo/tools/install-packages.sh" tests; then
    echo "0 passed, 1 failed"
    exit 1
  fi

  work=$(mktemp -d /tmp/pbtest.XXXXXX)
  chmod 755 "$work"
  mkdir -m 700 "$work/xdg-runtime" "$work/config"
  # No test may touch the real user's store or autostart folder.
  export XDG_RUNTIME_DIR=$work/xdg-runtime XDG_CONFIG_HOME=$work/config
  export PYTHONDONTWRITEBYTECODE=1
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=second_deadlock_stack=1
  export LSAN_OPTIONS=suppressions=$repo/tools/lsan.supp:print_suppressions=0

  local ok=1
  start_dovecot || { echo "Dovecot did not start"; failed=$((failed + 1)); ok=0; }

  step normal "" "" -DCMAKE_BUILD_TYPE=Release -DPOSTBELL_DESKTOP=ON || ok=0
  package_step "$build_root/normal" || ok=0
  step asan slow "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTBELL_SANITIZE=address,undefined \
    -DPOSTBELL_DESKTOP="$asan_desktop" || ok=0
  step tsan "" threads -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTBELL_SANITIZE=thread \
    -DPOSTBELL_DESKTOP=OFF || ok=0

  echo
  echo "$passed passed, $failed failed, $skipped skipped"
  [ $ok -eq 1 ] && [ "$failed" -eq 0 ]
}

main "$@"
