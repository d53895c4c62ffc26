#!/usr/bin/env bash
# Builds what the benchmark needs, runs its phases beside a private systemd user manager, the agent a
# user unit of it, and prints the table bench/table.jq makes of their JSON in <bin>/../bench-results*/.
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
results="$(dirname "$bin")/bench-results$([ "$short" = 0 ] || echo -short)"
if [ -z "${QUERN_BENCH_INSIDE:-}" ]; then
  [ "$build" = 0 ] || log="$("$root/scripts/build.sh" default --target bench 2>&1)" || { echo "$log" >&2; exit 1; }
  mkdir -p "$results" && rm -f "$results"/*.json # the table is of this run alone
  exec "$root/scripts/user-manager.sh" env QUERN_BENCH_INSIDE=1 bash "$0" "${arguments[@]}" --no-build
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/quern-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT # every process we start, the manager too, ends with the namespaces
[ -z "${QUERN_NO_USER_MANAGER:-}" ] || { echo "no benchmark: $QUERN_NO_USER_MANAGER" >&2; exit 77; }
unset QUERN_ZOVA_LAUNCHCTL # the client asks the manager we run beside
fail() { echo "$1" >&2 && exit 1; }
for program in quern-bench quern-bench-start quern-bench-floor quern-zova quern-bridge-agent; do
  [ -x "$bin/$program" ] || fail "missing $bin/$program (build first, or drop --no-build)"
done
{ command -v hyperfine && command -v jq; } >/dev/null || fail "missing hyperfine or jq (scripts/install-deps.sh installs them)"

refreshes=1000 growth=10000 startups=15 settle=30 window=60 trials=20 storm=20 storm_settle=10 crash=600
[ "$short" = 0 ] || refreshes=40 growth=200 startups=2 settle=3 window=3 trials=1 storm=3 storm_settle=2 crash=20
# shellcheck source=SCRIPTDIR/../scripts/agent-identity.sh.in
. "$bin/agent-identity.sh"
# shellcheck source=SCRIPTDIR/../scripts/x-session.sh
logs="$work" && . "$root/scripts/x-session.sh" # wait_for, start_x_session

# A unit per environment, each agent with its own home: the client's own unit for the timings and the
# idle client, two more for the repair trials beside it; make_unit NAME INTERVAL (its health's renewal).
declare -A unit_of=([main]="$quern_service_unit" [killed]=quern-bench-killed.service [silent]=quern-bench-silent.service)
in_env() { (HOME="$work/$1/home" && export HOME && shift && "$@"); }
make_unit() {
  mkdir -p "$work/$1/home" && "$root/scripts/agent-unit.sh" "$work/$1/home" "$bin/quern-bridge-agent" \
    --interval "$2" >"$XDG_RUNTIME_DIR/systemd/user/${unit_of[$1]}"
}
# The silenced agent renews every 0.737 s, out of step with the client's 2 s, so that the moment its
# health turns stale falls at every point of the client's period over the trials.
make_unit main 1 && make_unit killed 1 && make_unit silent 0.737
# The storm stops and starts the main unit hundreds of times: no start limit may end it.
printf '[Unit]\nStartLimitIntervalSec=0\n' >>"$XDG_RUNTIME_DIR/systemd/user/${unit_of[main]}"
systemctl --user daemon-reload && systemctl --user start "${unit_of[@]}"
healthy() { for name in "${!unit_of[@]}"; do [ -s "$work/$name/home/.quern-web-bridge/health.json" ] || return 1; done; }
wait_for 10 "each agent's health (written at once)" healthy

# Whole programs on a private display with trayer as tray host, so that the tray icons really dock;
# in-process ones (and whole ones without Xvfb) on Qt's offscreen platform. Both replace the
# (sub)shell they run in: a program started with `whole ... &` has $! for its pid.
unset DISPLAY WAYLAND_DISPLAY
if [ "$platform" != offscreen ] && command -v Xvfb >/dev/null; then
  start_x_session 1280 800 && qpa=xcb platform="Xvfb $DISPLAY with trayer as tray host"
else
  qpa=offscreen platform=offscreen
fi
whole() { exec env QT_QPA_PLATFORM="$qpa" "$@"; }
inproc() { exec env -u DISPLAY QT_QPA_PLATFORM=offscreen "$@"; }

# phase NAME COMMAND...: when NAME is selected, runs COMMAND; what it prints is the phase's result,
# its messages go to a log shown if it fails.
phase() {
  local name="$1" status=0 && shift
  [ -z "$only" ] || [[ ",$only," == *",$name,"* ]] || return 0
  "$@" >"$results/$name.json" 2>"$work/$name.log" || status=$?
  [ "$status" = 0 ] || { echo "phase $name failed ($status):" >&2; tail -n 20 "$work/$name.log" >&2; touch "$work/failed"; }
}
# Figure 5: hyperfine's own JSON.
startup_phase() {
  (whole hyperfine -N --warmup 1 --runs "$startups" --prepare "sleep 0.3" --export-json "$work/startup.json" \
    "$bin/quern-bench-start" "$bin/quern-bench-floor --exit-at-start $quern_service_unit") >&2 && cat "$work/startup.json"
}
# proc_sample PID: {"rss": VmRSS, "pss": Pss (smaps_rollup), in KiB, "ticks": utime+stime so far}
proc_sample() {
  awk '/^VmRSS:/ { printf "{\"rss\": %d, ", $2 } /^Pss:/ { printf "\"pss\": %d, ", $2 }' "/proc/$1/status" "/proc/$1/smaps_rollup"
  sed 's/^.*) //' "/proc/$1/stat" | awk '{ printf "\"ticks\": %d}", $12 + $13 }'
}
# Figures 3 and 4: the unmodified client and the floor side by side, sampled after SETTLE s and again
# after the WINDOW that follows (neither has children).
idle_phase() {
  local pids=() samples=()
  whole "$bin/quern-zova" >/dev/null 2>&1 & pids=($!)
  whole "$bin/quern-bench-floor" "$quern_service_unit" >/dev/null 2>&1 & pids+=($!)
  sleep "$settle" && samples=("$(proc_sample "${pids[0]}")" "$(proc_sample "${pids[1]}")")
  sleep "$window" && samples+=("$(proc_sample "${pids[0]}")" "$(proc_sample "${pids[1]}")")
  { kill "${pids[@]}" && wait "${pids[@]}"; } 2>/dev/null || true
  printf '{"settle": %s, "window": %s, "hz": %s, "client": [%s, %s], "floor": [%s, %s]}' "$settle" "$window" \
    "$(getconf CLK_TCK)" "${samples[0]}" "${samples[2]}" "${samples[1]}" "${samples[3]}" | jq -c .
}
# Figure 9: the unmodified client and the floor with --listen side by side, settled; quern-bench storms.
listening() { [ -S "$XDG_RUNTIME_DIR/quern-zova.socket" ] && [ -S "$work/floor.socket" ]; }
storm_phase() {
  local pids=() status=0
  whole "$bin/quern-zova" >/dev/null 2>&1 & pids=($!)
  whole "$bin/quern-bench-floor" --listen "$work/floor.socket" "$quern_service_unit" >/dev/null 2>&1 & pids+=($!)
  wait_for 10 "both programs' sockets" listening
  sleep "$storm_settle"
  (inproc "$bin/quern-bench" storm "$quern_service_unit" "$storm" "$storm" \
    "${pids[0]}" "$XDG_RUNTIME_DIR/quern-zova.socket" "${pids[1]}" "$work/floor.socket") || status=$?
  { kill "${pids[@]}" && wait "${pids[@]}"; } 2>/dev/null || true
  return "$status"
}
# Figure 8, under a private manager of its own, for it needs the client's own unit for minutes: that
# unit failing at once, and a unit just like it beside that no client looks after. Each start appends
# its time to a file, a bus monitor sees every ResetFailedUnit call; the window opens as both start.
crash_loop_phase() {
  local floor_unit=quern-bench-crash-floor.service client monitor t0 t1 unit
  mkdir -p "$work/crash/home"
  for unit in "$quern_service_unit" "$floor_unit"; do # a line per start, then a failure at once (%% is %)
    printf '[Service]\nExecStart=/bin/sh -c "date +%%%%s.%%%%N >>%s; exit 1"\nRestart=always\nRestartSec=0\n' \
      "$work/$unit.starts" >"$XDG_RUNTIME_DIR/systemd/user/$unit"
  done
  systemctl --user daemon-reload
  busctl --user monitor --json=short \
    --match "type='method_call',interface='org.freedesktop.systemd1.Manager',member='ResetFailedUnit'" \
    >"$work/resets.json" & monitor=$!
  sleep 1 # its match is in place
  t0=$(date +%s.%N)
  systemctl --user start --no-block "$quern_service_unit" "$floor_unit"
  HOME="$work/crash/home" whole "$bin/quern-zova" >/dev/null 2>&1 & client=$!
  sleep "$crash" && t1=$(date +%s.%N)
  { kill "$client" "$monitor" && wait "$client" "$monitor"; } 2>/dev/null || true
  jq -nc --argjson seconds "$crash" --argjson t0 "$t0" --argjson t1 "$t1" --arg unit "$quern_service_unit" \
    --arg floor_unit "$floor_unit" --slurpfile calls "$work/resets.json" \
    --slurpfile starts "$work/$quern_service_unit.starts" --slurpfile floor_starts "$work/$floor_unit.starts" \
    'def resets($unit): [$calls[] | select(.payload.data[0] == $unit) | ."timestamp-realtime" / 1e6];
    {$seconds, $t0, $t1, client: {$starts, resets: resets($unit)}, floor: {starts: $floor_starts, resets: resets($floor_unit)}}'
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)" start_time=$(date +%s)
# Busy phases one at a time: they time the main thread and must not share the two cores.
phase timing in_env main inproc "$bin/quern-bench" timing "$refreshes" \
  --benchmark_enable_random_interleaving=true --benchmark_format=json
phase growth in_env main inproc "$bin/quern-bench" growth "$growth"
phase startup in_env main startup_phase
phase storm in_env main storm_phase
# Quiet phases side by side: an idle client and floors, the repair trials (a refresh every 2 s each)
# and the crash loop (its first minutes see a reset every 5 to 40 s).
# Kills are 6 s apart, free of the client's 5 s repair throttle; silences 12 s at least by their nature.
export -f crash_loop_phase whole && export work bin crash qpa quern_service_unit
phase idle in_env main idle_phase & quiet=($!)
phase killed in_env killed inproc "$bin/quern-bench" repair-killed "$trials" 6 "${unit_of[killed]}" & quiet+=($!)
phase silent in_env silent inproc "$bin/quern-bench" repair-silent "$trials" "${unit_of[silent]}" & quiet+=($!)
phase crash-loop "$root/scripts/user-manager.sh" bash -euo pipefail -c crash_loop_phase & quiet+=($!)
wait "${quiet[@]}"

jq -n '$ARGS.named' --argjson short "$short" --arg cores "$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN)" \
  --arg load "$load_before at start, $(cut -d' ' -f1-3 /proc/loadavg) at end" --argjson seconds $(($(date +%s) - start_time)) \
  --arg platform "$platform" --arg results "$results" >"$results/run.json"
jq -rn -f "$root/bench/table.jq" "$results"/*.json || { echo "no table of $results" >&2; exit 1; }
[ ! -e "$work/failed" ] # a figure could not be taken
