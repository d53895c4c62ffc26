#!/usr/bin/env bash
# Builds and runs every test: the whole suite, again under AddressSanitizer + UBSan, and the
# threaded parts under ThreadSanitizer; then checks the macOS build (scripts/macos-check.sh). Every stage
# runs even when an earlier one fails; a line per stage says how it went, and the exit status is
# non-zero if any failed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/install-deps.sh" || exit 1
jobs=2

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1"

summary=()
failed=0
# stage PRESET [ctest options...]; $targets, when set, limits what is built to what those tests need.
stage() {
  local preset=$1 start log ran failures status
  shift
  start=$(date +%s)
  log="$root/build/$preset-ctest.log"
  mkdir -p "$root/build"
  # shellcheck disable=SC2086 # a list of targets
  if ! "$root/scripts/build.sh" "$preset" ${targets:+--target $targets}; then
    summary+=("$(printf '%-8s build failed after %ss' "$preset" "$(($(date +%s) - start))")")
    failed=1
    return
  fi
  ctest --preset "$preset" -j"$jobs" "$@" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  ran=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
  failures=$(sed -n 's/.*, \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -1)
  summary+=("$(printf '%-8s %s tests, %s failed, %ss' "$preset" "${ran:-0}" "${failures:-?}" "$(($(date +%s) - start))")")
  [ "$status" -eq 0 ] || failed=1
}

# The macOS build compiled, linked into a universal binary and bundled with Zig's toolchain, its
# bundle and Mac CI workflow checked; its last line is its summary.
macos_stage() {
  local log="$root/build/macos-check.log"
  QUERN_SKIP_INSTALL=1 "$root/scripts/macos-check.sh" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
  summary+=("$(tail -n 1 "$log")")
}

stage default
stage asan
targets="core_tests client_tests reveal_tests" stage tsan -L '^(core|app)$'
macos_stage

echo
echo "== test stages"
printf '%s\n' "${summary[@]}"
exit "$failed"
