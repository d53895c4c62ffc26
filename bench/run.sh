#!/usr/bin/env bash
# Builds what the benchmark needs and prints its table: every figure beside its floor, measured in
# the same run on the same machine.
#   ./bench/run.sh [--short] [--no-build] [--bin-dir DIR] [--platform xvfb|offscreen]
# --short runs every figure with tiny counts (for the test suite: it proves the benchmark works).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

short=0
build=1
bin="$root/build/default/bin"
platform=auto
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --no-build) build=0 ;;
    --bin-dir) bin="$2"; shift ;;
    --platform) platform="$2"; shift ;;
    *) echo "usage: $0 [--short] [--no-build] [--bin-dir DIR] [--platform xvfb|offscreen]" >&2; exit 64 ;;
  esac
  shift
done

if [ "$build" = 1 ]; then
  build_log="$(mktemp)"
  if ! (cd "$root" && cmake --preset default && cmake --build --preset default -j2 --target bench) \
    >"$build_log" 2>&1; then
    cat "$build_log" >&2
    rm -f "$build_log"
    exit 1
  fi
  rm -f "$build_log"
fi
for program in quern-bench quern-bench-start quern-bench-floor quern-bench-process quern-zova \
  quern-launchctl quern-bridge-agent; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program (build first, or drop --no-build)" >&2; exit 1; }
done

if [ "$short" = 1 ]; then
  refreshes=40 growth=200 startups=2 settle=3 window=3 unloaded=1 silent=1 spacing=6 backdate=11
else
  refreshes=1000 growth=10000 startups=15 settle=30 window=60 unloaded=20 silent=20 spacing=6 backdate=0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/quern-bench.XXXXXX")"
export QUERN_AGENT_IDENTITY="$bin/agent-identity.sh"
# shellcheck source=../scripts/agent-identity.sh.in
. "$QUERN_AGENT_IDENTITY"
label=$quern_service_label
target="gui/$(id -u)/$label"
started=()   # pids of the X server and tray host we start
envs=()

cleanup() {
  for name in "${envs[@]}"; do
    QUERN_LAUNCHD_DIR="$work/$name/launchd" "$bin/quern-launchctl" bootout "$target" >/dev/null 2>&1 || true
  done
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# One environment per phase: its own home, stand-in state and agent, so phases never disturb each other.
# make_env NAME INTERVAL: the agent renews its health every INTERVAL seconds.
make_env() {
  local name="$1" interval="$2" dir="$work/$1"
  envs+=("$name")
  mkdir -p "$dir/home/Library/LaunchAgents" "$dir/launchd" "$dir/runtime"
  chmod 700 "$dir/launchd" "$dir/runtime"
  "$root/scripts/agent-plist.sh" true "$bin/quern-bridge-agent" --interval "$interval" \
    --sighup-log "$dir/sighup.log" >"$dir/home/Library/LaunchAgents/$label.plist"
  in_env "$name" "$bin/quern-launchctl" bootstrap "gui/$(id -u)" "$dir/home/Library/LaunchAgents/$label.plist"
  for _ in $(seq 1 100); do
    [ -s "$dir/home/.quern-web-bridge/health.json" ] && return 0
    sleep 0.05
  done
  echo "the stand-in agent of $name never wrote its health" >&2
  return 1
}

# Runs a command in an environment: the client, the stand-ins and the floor see the same variables.
in_env() {
  local dir="$work/$1"
  shift
  (
    export HOME="$dir/home" QUERN_LAUNCHD_DIR="$dir/launchd" QUERN_ZOVA_LAUNCHCTL="$bin/quern-launchctl" \
      XDG_RUNTIME_DIR="$dir/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/quern-bench-bus"
    "$@"
  )
}

# In-process figures always run offscreen; whole programs (start-up, idle) on one display for both.
display=""
if [ "$platform" != offscreen ] && command -v Xvfb >/dev/null; then
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" 2>/dev/null &
  started+=($!)
  for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
  done
  if [ -s "$work/display" ]; then
    display=":$(head -n1 "$work/display")"
    if command -v trayer >/dev/null; then # a tray host, so that both tray icons are really docked
      DISPLAY="$display" trayer --edge top --align right --expand false --width 10 >/dev/null 2>&1 &
      started+=($!)
      sleep 0.5
    fi
  fi
fi
if [ -n "$display" ]; then
  platform="Xvfb $display$(command -v trayer >/dev/null && echo ' with trayer as tray host')"
  whole() { env -u QT_QPA_PLATFORM DISPLAY="$display" "$@"; }
else
  platform="offscreen"
  whole() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$@"; }
fi
inproc() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$@"; }

rows="$work/rows"
: >"$rows"
failed=0
# phase NAME COMMAND...: its rows are kept, its own messages go to a log shown on failure.
phase() {
  local name="$1" status=0
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.log" || status=$?
  grep '^ROW' "$work/$name.out" >>"$rows" || true
  if [ "$status" != 0 ]; then
    echo "phase $name failed ($status):" >&2
    tail -n 20 "$work/$name.log" >&2
    return 1
  fi
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
start_time=$(date +%s)

# Busy phases one at a time: they time the main thread and must not share the two cores.
make_env timing 1
phase refresh in_env timing inproc "$bin/quern-bench" refresh "$refreshes" || failed=1
phase launchctl in_env timing inproc "$bin/quern-bench" launchctl "$refreshes" || failed=1
phase growth in_env timing inproc "$bin/quern-bench" growth "$growth" || failed=1
phase startup in_env timing whole "$bin/quern-bench-process" startup "$startups" "$bin/quern-bench-start" \
  "$bin/quern-zova" "$bin/quern-bench-floor" "$bin/quern-launchctl" "$work/timing/home/.quern-web-bridge" ||
  failed=1

# Quiet phases side by side: an idle client and floor, and the repair trials (a refresh every 2 s each).
# The silenced agent renews every 0.737 s, out of step with the client's 2 s, so that the moment its
# health turns stale falls at every point of the client's period over the trials.
make_env idle 1
make_env unloaded 1
make_env silent 0.737
phase idle in_env idle whole "$bin/quern-bench-process" idle "$settle" "$window" "$bin/quern-zova" \
  "$bin/quern-bench-floor" "$bin/quern-launchctl" &
idle_job=$!
phase unloaded in_env unloaded inproc "$bin/quern-bench" repair-unloaded "$unloaded" "$spacing" &
unloaded_job=$!
phase silent in_env silent inproc "$bin/quern-bench" repair-silent "$silent" "$spacing" "$work/silent/sighup.log" \
  "$backdate" &
silent_job=$!
for job in $idle_job $unloaded_job $silent_job; do wait "$job" || failed=1; done

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "Quern Zova benchmark$([ "$short" = 1 ] && echo ' (short mode: tiny counts, figures not meaningful)')"
echo "machine: $(nproc) cores, load average $load_before at start, $load_after at end; $(($(date +%s) - start_time)) s"
echo "whole-program figures on $platform; in-process figures on Qt's offscreen platform"
echo
echo "| # | figure | value | floor | value vs floor | goal | met |"
echo "|---|---|---|---|---|---|---|"
sort -s -t$'\t' -k2,2 "$rows" | awk -F'\t' '{ printf "| %s | %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7, $8 }'
exit "$failed"
