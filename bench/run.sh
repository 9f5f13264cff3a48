#!/usr/bin/env bash
# The benchmark: bash bench/run.sh [--sizes 1000,10000] [--runs 5]   (as root)
# Builds postbell-check (Release, into build/bench or $POSTBELL_BUILD_ROOT/bench), starts its
# own Dovecot on loopback and prints the time per message and the peak memory of complete
# checks, next to Python's poplib doing the same commands. Not part of the test command.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${POSTBELL_BUILD_ROOT:-$repo/build}/bench

if [ "$(id -u)" -ne 0 ]; then
  echo "run as root: Dovecot is started as root (sudo bash bench/run.sh)" >&2
  exit 2
fi
bash "$repo/tools/install-packages.sh" build-essential cmake python3 time libssl-dev \
  libsqlite3-dev googletest libgtest-dev dovecot-core dovecot-pop3d

cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DPOSTBELL_DESKTOP=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target postbell-check >/dev/null
exec python3 "$repo/bench/bench.py" "$build_dir/engine/postbell-check" "$@"
