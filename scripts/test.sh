#!/usr/bin/env bash
# Builds and runs every test: the whole suite, again under AddressSanitizer + UBSan, and the
# threaded parts under ThreadSanitizer (each a workflow preset of CMakePresets.json: configure,
# build, test); then checks the macOS build (scripts/macos-check.sh). Every stage runs even when an
# earlier one fails; a line per stage says how it went, and the exit status is non-zero if any
# failed.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 1
"$root/scripts/install-deps.sh" || exit 1
# shellcheck source=scripts/build-env.sh
. "$root/scripts/build-env.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1"

summary=()
failed=0
totals=(0 0 0) # passed, failed, skipped over every stage
counted=1      # 0 once a stage did not get as far as its tests: then there is no total
# stage PRESET: the workflow preset of that name. Its test preset writes build/PRESET/junit.xml, whose
# testsuite element gives the figures; skipped are the tests that returned SKIP_RETURN_CODE.
stage() {
  local preset=$1 start junit counts tests failures skipped seconds
  start=$(date +%s)
  junit="$root/build/$preset/junit.xml"
  rm -f "$junit"
  cmake --workflow --preset "$preset" || failed=1
  if [ ! -f "$junit" ]; then
    summary+=("$(printf '%-8s configure or build failed after %ss' "$preset" "$(($(date +%s) - start))")")
    failed=1
    counted=0
    return
  fi
  counts=$(python3 - "$junit" <<'PY'
import sys
import xml.etree.ElementTree as ElementTree
suite = ElementTree.parse(sys.argv[1]).getroot()
suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
print(*(suite.get(key, "0") for key in ("tests", "failures", "skipped")), round(float(suite.get("time", "0"))))
PY
  ) || counts="? ? ? ?"
  read -r tests failures skipped seconds <<<"$counts"
  summary+=("$(printf '%-8s %s tests, %s failed, %s skipped; tests %ss, stage %ss' "$preset" "$tests" "$failures" \
    "$skipped" "$seconds" "$(($(date +%s) - start))")")
  if [ "$tests" = "?" ]; then
    counted=0
  else
    totals=("$((totals[0] + tests - failures - skipped))" "$((totals[1] + failures))" "$((totals[2] + skipped))")
  fi
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
stage tsan
macos_stage

echo
echo "== test stages"
printf '%s\n' "${summary[@]}"
[ "$counted" = 0 ] || echo "total: ${totals[0]} passed, ${totals[1]} failed, ${totals[2]} skipped"
exit "$failed"
