#!/usr/bin/env bash
# Builds what the benchmark needs and prints its table: every figure beside its floor from the same run.
# It runs beside a private systemd user manager (scripts/user-manager.sh), the agent a user unit of it;
# Google Benchmark and hyperfine keep their JSON in <bin dir>/../bench-results[-short]/.
#   ./bench/run.sh [--short] [--no-build] [--bin-dir DIR] [--platform xvfb|offscreen] [--only PHASE,...]
# --short runs every figure with tiny counts (for the suite: it proves the benchmark works); 77: no manager.
# --only takes some of: timing growth startup storm idle killed silent crash-loop.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
short=0 build=1 bin="$root/build/default/bin" platform=auto only="" arguments=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --no-build) build=0 ;;
    --bin-dir) bin="$2"; shift ;;
    --platform) platform="$2"; shift ;;
    --only) only="$2"; shift ;;
    *) echo "usage: $0 [--short] [--no-build] [--bin-dir DIR] [--platform xvfb|offscreen] [--only PHASE,...]" >&2; exit 64 ;;
  esac
  shift
done
selected() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }

if [ -z "${QUERN_BENCH_MANAGER:-}" ]; then
  [ "$build" = 0 ] || log="$("$root/scripts/build.sh" default --target bench 2>&1)" || { echo "$log" >&2; exit 1; }
  side=""
  if selected crash-loop; then
    # The crash loop needs the client's own unit for minutes: it runs beside the rest, under a
    # manager of its own, and starts when the quiet phases do (the "go" file); its rows join ours.
    side="$(mktemp -d "${TMPDIR:-/tmp}/quern-bench-side.XXXXXX")"
    (
      "$root/scripts/user-manager.sh" env QUERN_BENCH_MANAGER=crash-loop QUERN_BENCH_SIDE="$side" \
        bash "$0" "${arguments[@]}" --no-build >"$side/rows" 2>"$side/log" </dev/null
      echo $? >"$side/status"
      [ ! -e "$side/stop" ] || rm -rf "$side" # nobody is left to read it
    ) &
  fi
  exec env QUERN_BENCH_SIDE="$side" "$root/scripts/user-manager.sh" env QUERN_BENCH_MANAGER=main \
    bash "$0" "${arguments[@]}" --no-build
fi
side="${QUERN_BENCH_SIDE:-}" merged=0
work="$(mktemp -d "${TMPDIR:-/tmp}/quern-bench.XXXXXX")"
started=() # the X server and tray host we start; the manager and its units end with the namespaces
# Our end, early or not, ends the crash loop beside unless its rows were taken.
trap 'kill "${started[@]}" 2>/dev/null; rm -rf "$work"
  [ "$QUERN_BENCH_MANAGER" != main ] || [ -z "$side" ] || [ "$merged" = 1 ] || touch "$side/stop"' EXIT
[ -z "${QUERN_NO_USER_MANAGER:-}" ] || { echo "no benchmark: $QUERN_NO_USER_MANAGER" >&2; exit 77; }
unset QUERN_ZOVA_LAUNCHCTL # the client asks the manager we run beside
for program in quern-bench quern-bench-start quern-bench-floor quern-zova quern-bridge-agent; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program (build first, or drop --no-build)" >&2; exit 1; }
done
command -v hyperfine >/dev/null && command -v jq >/dev/null ||
  { echo "missing hyperfine or jq (scripts/install-deps.sh installs them)" >&2; exit 1; }

refreshes=1000 growth=10000 startups=15 settle=30 window=60 trials=20 kills=10 storm=20 storm_settle=10 crash=600
[ "$short" = 0 ] || refreshes=40 growth=200 startups=2 settle=3 window=3 trials=1 kills=1 storm=3 storm_settle=2 crash=20
results="$(dirname "$bin")/bench-results$([ "$short" = 0 ] || echo -short)" && mkdir -p "$results"
# shellcheck source=../scripts/agent-identity.sh.in
. "$bin/agent-identity.sh"

# A unit per environment, each agent with its own home: the client's own unit for the timings and the
# idle client, two more for the repair trials beside it; make_unit NAME INTERVAL (its health's renewal).
declare -A unit_of=([main]="$quern_service_unit" [killed]=quern-bench-killed.service [silent]=quern-bench-silent.service)
in_env() { (export HOME="$work/$1/home" && shift && "$@"); }
make_unit() {
  mkdir -p "$work/$1/home"
  printf '[Service]\nExecStart="%s" --interval %s\nEnvironment="HOME=%s"\n' \
    "$bin/quern-bridge-agent" "$2" "$work/$1/home" >"$XDG_RUNTIME_DIR/systemd/user/${unit_of[$1]}"
}
if [ "$QUERN_BENCH_MANAGER" = main ]; then
  # The silenced agent renews every 0.737 s, out of step with the client's 2 s, so that the moment its
  # health turns stale falls at every point of the client's period over the trials.
  make_unit main 1 && make_unit killed 1 && make_unit silent 0.737
  # The storm stops and starts the main unit hundreds of times: no start limit may end it.
  mkdir -p "$XDG_RUNTIME_DIR/systemd/user/${unit_of[main]}.d"
  printf '[Unit]\nStartLimitIntervalSec=0\n' >"$XDG_RUNTIME_DIR/systemd/user/${unit_of[main]}.d/storm.conf"
  systemctl --user daemon-reload
  systemctl --user start "${unit_of[@]}"
  for name in "${!unit_of[@]}"; do # a hang guard of 10 s; each writes its health at once
    for _ in $(seq 1 200); do [ -s "$work/$name/home/.quern-web-bridge/health.json" ] && continue 2 || sleep 0.05; done
    echo "the agent of ${unit_of[$name]} never wrote its health" >&2 && exit 1
  done
fi

# Whole programs on one display for all, with trayer so that the tray icons really dock; in-process: offscreen.
if [ "$platform" != offscreen ] && command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" 2>/dev/null &
  started+=($!)
  for _ in $(seq 1 100); do [ -s "$work/display" ] && break || sleep 0.05; done
fi
if [ -s "$work/display" ]; then
  display=":$(head -n1 "$work/display")" platform="Xvfb :$(head -n1 "$work/display")"
  if command -v trayer >/dev/null; then
    DISPLAY="$display" trayer --edge top --align right --expand false --width 10 >/dev/null 2>&1 &
    started+=($!) platform="$platform with trayer as tray host"
    sleep 0.5
  fi
  whole() { exec env -u QT_QPA_PLATFORM DISPLAY="$display" "$@"; }
else
  platform="offscreen"
  whole() { exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$@"; }
fi
# Both replace the (sub)shell they run in: a program started with `whole ... &` has $! for its pid.
inproc() { exec env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$@"; }

rows="$work/rows" failed=0 && : >"$rows"
# phase NAME COMMAND...: its rows are kept, its own messages go to a log shown on failure.
phase() {
  local name="$1" status=0 && shift
  "$@" >"$work/$name.out" 2>"$work/$name.log" || status=$?
  grep '^ROW' "$work/$name.out" >>"$rows" || true
  [ "$status" = 0 ] || { echo "phase $name failed ($status):" >&2; tail -n 20 "$work/$name.log" >&2; return 1; }
}

# timing_rows FIGURE WHAT GOAL [median]: rows of "n median p99 floor-median floor-p99" (seconds).
timing_rows() {
  awk -F'\t' -v f="$1" -v what="$2" -v goal="$3" -v only="${4:-}" '
    function row(w, v, fl) { printf "ROW\t%s\t%s\t%.3f ms\t%.3f ms\t×%.2f\t≤ ×%.2f\t%s\n", f, w, v * 1e3, fl * 1e3, v / fl, goal, v <= goal * fl ? "yes" : "NO" }
    { row(what ", median (n=" $1 ")", $2, $4); if (!only) row(what ", p99", $3, $5) }'
}
# hyperfine_stats NAME: n, median and p99 of the first command, median and p99 of the second (its floor).
hyperfine_stats() {
  jq -r '[.results[] | (.times | sort) as $t | .median, $t[($t | length) * 0.99 | ceil - 1]] as $s
    | [(.results[0].times | length)] + $s | @tsv' "$results/$1.json"
}
# refresh_stats: repetitions, median and p99 of the refresh, then of its floor, in seconds.
refresh_stats() {
  jq -r '[.benchmarks[] | select(.run_type == "aggregate") | {key: "\(.run_name | split("/")[0]) \(.aggregate_name)",
      value: (.real_time * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[.time_unit]), n: .repetitions}]
    | (.[0].n) as $n | from_entries | [$n, .["refresh median"], .["refresh p99"], .["refresh-floor median"], .["refresh-floor p99"]]
    | @tsv' "$results/in-process.json"
}
# Figures 3 and 4: the unmodified client and the floor side by side; memory after SETTLE s, CPU over the
# WINDOW after it (utime+stime ticks; neither has children).
idle_phase() {
  local pids=() pid first=()
  export HOME="$work/main/home"
  whole "$bin/quern-zova" >/dev/null 2>&1 & pids=($!)
  whole "$bin/quern-bench-floor" "$quern_service_unit" >/dev/null 2>&1 & pids+=($!)
  ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
  sleep "$settle"
  for pid in "${pids[@]}"; do
    first+=("$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status") $(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup") $(ticks "$pid")")
  done
  sleep "$window"
  for i in 0 1; do echo "${first[$i]} $(ticks "${pids[$i]}")"; done >"$work/idle.samples"
  kill "${pids[@]}" && wait "${pids[@]}" 2>/dev/null || true
  awk -v settle="$settle" -v window="$window" -v hz="$(getconf CLK_TCK)" '
    NF != 4 { exit 1 }
    { rss[NR] = $1; pss[NR] = $2; own[NR] = $4 - $3 }
    function row(fig, what, v, fl, ratio, goal, met) { printf "ROW\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", fig, what, v, fl, ratio, goal == "" ? "(information)" : goal, goal == "" ? "—" : (met ? "yes" : "NO") }
    function mib(kib) { return sprintf("%.1f MiB", kib / 1024) }
    function memory(what, v, fl, goal) { row(3, what, mib(v), mib(fl), sprintf("×%.2f", v / fl), goal, v <= 1.15 * fl) }
    function share(ticks) { return sprintf("%.2f %% (%d ticks)", 100 * ticks / (hz * window), ticks) }
    END {
      if (NR != 2) exit 1
      memory("idle resident memory (VmRSS) after " settle " s (floor: minimal Qt window + tray + an async ListUnitsByNames every 2 s)", rss[1], rss[2], "≤ ×1.15")
      memory("idle proportional memory (Pss, smaps_rollup) after " settle " s", pss[1], pss[2], "≤ ×1.15")
      row(4, "idle CPU over " window " s, utime+stime", share(own[1]), share(own[2]), sprintf("%+.2f points", 100 * (own[1] - own[2]) / (hz * window)), "≤ floor + 1 point", own[1] - own[2] <= hz * window / 100)
    }' "$work/idle.samples"
}
# Figure 9: the unmodified client and the floor with --listen side by side, settled; quern-bench
# storms the unit and probes both sockets (the client's is its single-instance socket).
storm_phase() {
  local pids=() status=0
  local -x HOME="$work/main/home"
  whole "$bin/quern-zova" >/dev/null 2>&1 & pids=($!)
  whole "$bin/quern-bench-floor" --listen "$work/floor.socket" "$quern_service_unit" >/dev/null 2>&1 & pids+=($!)
  for _ in $(seq 1 200); do # a hang guard of 10 s
    [ -S "$XDG_RUNTIME_DIR/quern-zova.socket" ] && [ -S "$work/floor.socket" ] && break || sleep 0.05
  done
  sleep "$storm_settle"
  (inproc "$bin/quern-bench" storm "$quern_service_unit" "$storm" "$storm" \
    "${pids[0]}" "$XDG_RUNTIME_DIR/quern-zova.socket" "${pids[1]}" "$work/floor.socket") || status=$?
  kill "${pids[@]}" && wait "${pids[@]}" 2>/dev/null || true
  return "$status"
}

# Figure 8, under a manager of its own: the client's own unit failing at once, and a unit just like
# it beside that no client looks after; each start appends its time to a file, and a bus monitor
# sees every ResetFailedUnit call. The window opens as both units are started.
crash_loop_phase() {
  local floor_unit=quern-bench-crash-floor.service client monitor t0 t1 span early
  mkdir -p "$work/crash/home"
  # shellcheck disable=SC2016 # expanded by the unit's shell
  printf '#!/bin/sh\n# A line per start, then a failure at once.\ndate +%%s.%%N >>"$1"\nexit 1\n' >"$work/crash.sh"
  for unit in "$quern_service_unit" "$floor_unit"; do
    printf '[Service]\nExecStart=/bin/sh "%s" "%s"\nRestart=always\nRestartSec=0\n' \
      "$work/crash.sh" "$work/$unit.starts" >"$XDG_RUNTIME_DIR/systemd/user/$unit"
  done
  systemctl --user daemon-reload
  busctl --user monitor --json=short \
    --match "type='method_call',interface='org.freedesktop.systemd1.Manager',member='ResetFailedUnit'" \
    >"$work/resets.json" & monitor=$!
  sleep 1 # its match is in place
  # Until the quiet phases beside begin (a hang guard of an hour); "stop": they ended early.
  for _ in $(seq 1 36000); do [ -e "$side/go" ] || [ -e "$side/stop" ] && break || sleep 0.1; done
  [ ! -e "$side/stop" ] || { kill "$monitor"; return 1; }
  t0=$(date +%s.%N)
  systemctl --user start --no-block "$quern_service_unit" "$floor_unit"
  (export HOME="$work/crash/home" && whole "$bin/quern-zova") >/dev/null 2>&1 & client=$!
  for _ in $(seq 1 "$crash"); do [ ! -e "$side/stop" ] && sleep 1 || break; done
  t1=$(date +%s.%N)
  kill "$client" "$monitor" && wait "$client" "$monitor" 2>/dev/null || true
  [ ! -e "$side/stop" ] || return 1
  starts() { awk -v t0="$t0" -v t1="$t1" '$1 >= t0 && $1 <= t1' "$work/$1.starts" 2>/dev/null | wc -l; }
  reset_times() { # UNIT WITHIN: ResetFailedUnit calls naming UNIT within WITHIN s of the window's start
    jq -r --arg unit "$1" 'select(.payload.data[0] == $unit) | ."timestamp-realtime" / 1e6' "$work/resets.json" |
      awk -v t0="$t0" -v until="$2" '$1 >= t0 && $1 - t0 <= until { printf "%.1f\n", $1 - t0 }'
  }
  resets() { reset_times "$@" | wc -l; }
  span="$(awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.0f", t1 - t0 }')" early=$((crash < 120 ? crash : 120))
  awk -v span="$span" -v early="$early" \
    -v r_early="$(resets "$quern_service_unit" "$early")" -v f_early="$(resets "$floor_unit" "$early")" \
    -v r_all="$(resets "$quern_service_unit" "$span")" -v f_all="$(resets "$floor_unit" "$span")" \
    -v starts="$(starts "$quern_service_unit")" -v f_starts="$(starts "$floor_unit")" \
    -v times="$(reset_times "$quern_service_unit" "$span" | paste -sd' ')" '
    function row(what, v, fl, cmp, goal, met) { printf "ROW\t8\t%s\t%s\t%s\t%s\t%s\t%s\n", what, v, fl, cmp, goal, goal == "(information)" ? "—" : (met ? "yes" : "NO") }
    BEGIN {
      what = "crash loop (the unit fails at once: Restart=always, RestartSec=0, systemd\047s start limit of 5 in 10 s), the client running " span " s; floor: a unit just like it beside, no client"
      row(what ": start-limit resets (ResetFailedUnit of the unit on the bus) in the first " early " s", r_early, f_early, sprintf("%+d", r_early - f_early), "≤ 5", r_early <= 5)
      row("the same, resets over " span " s", r_all, f_all, sprintf("%+d", r_all - f_all), "≤ 10", r_all <= 10)
      row("the same, starts over " span " s (a line each from ExecStart)", starts, f_starts, f_starts > 0 ? sprintf("×%.1f", starts / f_starts) : "—", "(information)", 1)
      row("the same, when the resets came (s into the window)", times == "" ? "none" : times, "none", "—", "(information)", 1)
      if (f_starts == 0 || starts == 0) exit 1
    }'
}

if [ "$QUERN_BENCH_MANAGER" = crash-loop ]; then
  crash_loop_phase
  exit
fi

load_before="$(cut -d' ' -f1-3 /proc/loadavg)" start_time=$(date +%s)

# Busy phases one at a time: they time the main thread and must not share the two cores.
if selected timing; then
  phase timing in_env main inproc "$bin/quern-bench" timing "$refreshes" \
    --benchmark_enable_random_interleaving=true --benchmark_out="$results/in-process.json" || failed=1
  refresh_stats | timing_rows 1 "main-thread time of one refresh (floor: a bare blocking Get of the unit\047s ActiveState on the same connection)" 1.2 >>"$rows" || failed=1
fi
! selected growth || phase growth in_env main inproc "$bin/quern-bench" growth "$growth" || failed=1
if selected startup; then
  phase startup in_env main whole hyperfine -N --warmup 1 --runs "$startups" --prepare "sleep 0.3" \
    --export-json "$results/startup.json" "$bin/quern-bench-start" \
    "$bin/quern-bench-floor --exit-at-start $quern_service_unit" || failed=1
  hyperfine_stats startup | timing_rows 5 "start → first state shown, window up, loop running (client main(), ending there; floor: ending on its first loop pass)" 3 median >>"$rows" || failed=1
fi
! selected storm || phase storm storm_phase || failed=1

# Quiet phases side by side: an idle client and floors, the repair trials (a refresh every 2 s each)
# and the crash loop under its own manager (its first minutes see a reset every 5 to 40 s).
# Kills are 65 s apart: after a minute online the client's restart backoff is at its shortest again,
# so each kill is a first failure, not a crash loop; silences are 12 s apart at least by their nature.
[ -z "$side" ] || touch "$side/go"
jobs=()
! selected idle || { phase idle idle_phase & jobs+=($!); }
! selected killed || { phase killed in_env killed inproc "$bin/quern-bench" repair-killed "$kills" 65 "${unit_of[killed]}" & jobs+=($!); }
! selected silent || { phase silent in_env silent inproc "$bin/quern-bench" repair-silent "$trials" "${unit_of[silent]}" & jobs+=($!); }
for job in "${jobs[@]}"; do wait "$job" || failed=1; done
if [ -n "$side" ]; then
  for _ in $(seq 1 $((10 * (crash + 300)))); do [ -e "$side/status" ] && break || sleep 0.1; done
  grep '^ROW' "$side/rows" >>"$rows" || true
  side_status="$(cat "$side/status" 2>/dev/null || echo 'none (no end within its window and 300 s)')"
  [ "$side_status" = 0 ] || { echo "phase crash-loop failed ($side_status):" >&2; tail -n 20 "$side/log" >&2; failed=1; }
  merged=1 && rm -rf "$side"
fi

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Quern Zova benchmark$([ "$short" = 1 ] && echo ' (short mode: tiny counts, figures not meaningful)')"
echo "machine: $(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN) cores, load average $load_before at start, $load_after at end; $(($(date +%s) - start_time)) s"
echo "a private systemd --user (scripts/user-manager.sh), the agent its unit; whole-program figures on $platform; in-process figures on Qt's offscreen platform; JSON in $results"
echo
echo "| # | figure | value | floor | value vs floor | goal | met |"
echo "|---|---|---|---|---|---|---|"
sort -s -t$'\t' -k2,2 "$rows" | awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7, $8 }'
exit "$failed"
