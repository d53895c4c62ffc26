#!/usr/bin/env bash
# Builds and runs every test: the whole suite, again under AddressSanitizer + UBSan, and the
# threaded parts under ThreadSanitizer.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cd "$root"
jobs=2

"$root/scripts/build.sh" default
ctest --preset default -j"$jobs"

"$root/scripts/build.sh" asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j"$jobs" -LE '^(soak|fuzz)$' # quarantine reads as growth; fuzzers carry their own

"$root/scripts/build.sh" tsan
TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
  ctest --preset tsan -j"$jobs" -L '^(core|app|standins)$'
