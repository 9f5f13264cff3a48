#!/usr/bin/env bash
# Prints the non-blank lines of the program's C++ and of the tests (every language), and
# their ratio, which the project keeps between a quarter and a third.
set -euo pipefail
cd "$(dirname "$0")/.."

# nonblank FILE...: the count of lines that hold more than white space.
nonblank() { cat "$@" /dev/null | grep -c '[^[:space:]]' || true; }

mapfile -t program < <(git ls-files -co --exclude-standard engine settings app resources |
                       grep -E '\.(cpp|h)$')
mapfile -t tests < <(git ls-files -co --exclude-standard tests)
code=$(nonblank "${program[@]}")
test=$(nonblank "${tests[@]}")
echo "program C++ (engine, settings, app, resources): $code non-blank lines"
echo "tests (tests/, every language):                 $test non-blank lines"
awk -v t="$test" -v c="$code" 'BEGIN { printf "ratio: %.2f (the aim: 0.25 to 0.33)\n", t / c }'
