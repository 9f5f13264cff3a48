#!/usr/bin/env bash
# The benchmarks: bash bench/run.sh [--sizes 1000,10000,50000,100000] [--runs 5]
#                                    [--links 20,100,20/1,100/1] [--link-size 10000] [--rtt-runs 1]
#                                    [--idle-seconds 60] [--starts 3]   (as root; about 15 minutes)
# Installs what is missing, builds postbell and postbell-check (Release, into
# $POSTBELL_BENCH_BUILD, default build/bench or $POSTBELL_BUILD_ROOT/bench), starts its own
# Dovecot and prints one table: complete checks of 1,000 to 100,000 messages by postbell-check
# (with and without pipelining), Python's poplib, fetchmail --check and two minimal clients
# (TOP commands in a window, or all at once), on loopback, over a relayed link with a real
# round trip and loss (bench/link_relay.py), and against a server that writes with Nagle's
# algorithm on; the running program's time to its tray icon beside a minimal Qt tray
# program's, its wake-ups while idle and resident memory; and the goals, each with pass or MISS.
# Not part of the test command.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${POSTBELL_BENCH_BUILD:-${POSTBELL_BUILD_ROOT:-$repo/build}/bench}

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: Dovecot is started as root (sudo bash bench/run.sh)" >&2
  exit 2
fi
bash "$repo/tools/install-packages.sh" benchmark

cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPOSTBELL_DESKTOP=ON >/dev/null
cmake --build "$build_dir" -j 2 --target postbell-check postbell >/dev/null
c++ -std=c++20 -O2 -Wall -Wextra -Werror -pthread -o "$build_dir/pipelined_check" "$repo/bench/pipelined_check.cpp"
# shellcheck disable=SC2046 # pkg-config's words are separate arguments
c++ -std=c++20 -O2 -fPIC -Wall -Wextra -Werror -o "$build_dir/minimal_tray" "$repo/bench/minimal_tray.cpp" \
  $(pkg-config --cflags --libs Qt6Widgets)
# The program must find neither the caller's display nor a settings store of the caller's.
unset DISPLAY WAYLAND_DISPLAY
exec python3 "$repo/bench/bench.py" "$build_dir/engine/postbell-check" \
  --pipelined "$build_dir/pipelined_check" --postbell "$build_dir/app/postbell" \
  --tray "$build_dir/minimal_tray" "$@"
