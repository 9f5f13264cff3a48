#!/usr/bin/env bash
# Fuzzes the POP3 dialogue and the header reader with libFuzzer for a bounded time: bash tools/fuzz.sh [SECONDS] [JOBS]
# (default 300 s, 1 job). Builds with clang-14, ASan and UBSan into build/fuzz (or
# $POSTBELL_BUILD_ROOT/fuzz); the corpus is kept in build/fuzz/corpus and starts from a few
# well-formed dialogues; a crash leaves its input in build/fuzz/ as crash-*. Not part of CI.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-300}
jobs=${2:-1}
build_dir=${POSTBELL_BUILD_ROOT:-$repo/build}/fuzz
corpus=$build_dir/corpus

bash "$repo/tools/install-packages.sh" fuzz || exit 1

CC=clang-14 CXX=clang++-14 cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPOSTBELL_FUZZ=ON -DPOSTBELL_DESKTOP=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target dialogue_fuzz >/dev/null

mkdir -p "$corpus"
# Seeds: the first byte is 0x80 to allow pipelining, plus 0x40 for STLS, plus the read size less
# one; the rest is a server's side of a check.
seed() { printf '%b' "$2" >"$corpus/seed-$1"; }
greeting='+OK ready\r\n+OK\r\n+OK\r\n'
seed plain "\x3f${greeting}+OK 2 20\r\n+OK\r\n1 a\r\n2 b\r\n.\r\n+OK\r\nFrom: x\r\nSubject: y\r\n.\r\n+OK\r\nSubject: z\r\n.\r\n+OK bye\r\n"
seed stls "\x4f+OK ready\r\n+OK begin TLS\r\n+OK\r\n+OK\r\n+OK 1 20\r\n+OK\r\n1 a\r\n.\r\n+OK\r\nSubject: =?UTF-8?B?0KHRh9GR0YI=?=\r\n =?koi8-r?q?=F0=D2?= =?utf-8?q?=E2=80=AE_x=0D=0Ay?=\r\n.\r\n+OK\r\n"
seed capa "\x87${greeting}+OK\r\nPIPELINING\r\n.\r\n+OK 2 20\r\n+OK\r\n1 a\r\n2 b\r\n.\r\n+OK\r\nFrom: x\r\n.\r\n-ERR no\r\n"
seed nocapa "\x80${greeting}-ERR\r\n+OK 1 20\r\n+OK\r\n1 a\r\n.\r\n+OK\r\nFrom: x\r\n.\r\n+OK\r\n"
seed empty "\x90${greeting}+OK\r\n.\r\n+OK 0 0\r\n+OK\r\n"

cd "$build_dir"
parallel=()
# More than one job runs in child processes that log to build/fuzz/fuzz-N.log.
[ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
exec ./tools/fuzz/dialogue_fuzz -max_total_time="$seconds" "${parallel[@]}" \
  -max_len=4096 -dict="$repo/tools/fuzz/pop3.dict" -print_final_stats=1 "$corpus"
