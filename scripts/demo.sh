#!/usr/bin/env bash
# Runs the client against the bundled stand-ins, in a demo home inside the build tree.
# The stand-in agent starts stopped: within about 2 seconds the client loads it and it comes online.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" default --target quern-zova quern-launchctl quern-bridge-agent

bin="$root/build/default/bin"
demo_home="$root/build/default/demo-home"
export QUERN_AGENT_IDENTITY="$bin/agent-identity.sh"
# shellcheck source=agent-identity.sh.in
. "$QUERN_AGENT_IDENTITY"
label=$quern_service_label
mkdir -p "$demo_home/Library/LaunchAgents"
export HOME="$demo_home"
export QUERN_LAUNCHD_DIR="$root/build/default/demo-launchd"
export QUERN_ZOVA_LAUNCHCTL="$bin/quern-launchctl"

# Start from a stopped agent.
"$bin/quern-launchctl" bootout "gui/$(id -u)/$label" 2>/dev/null || true
"$root/scripts/agent-plist.sh" true "$bin/quern-bridge-agent" >"$demo_home/Library/LaunchAgents/$label.plist"

# A headless shell has no runtime directory; the client's lock and socket need a private one.
own_runtime=""
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  own_runtime="$(mktemp -d "${TMPDIR:-/tmp}/quern-demo-runtime.XXXXXX")"
  export XDG_RUNTIME_DIR="$own_runtime"
fi

cleanup() {
  "$bin/quern-launchctl" bootout "gui/$(id -u)/$label" 2>/dev/null || true
  [ -z "$own_runtime" ] || rm -rf "$own_runtime"
}
trap cleanup EXIT

echo "demo home: $demo_home"
if "$bin/quern-launchctl" print "gui/$(id -u)/$label" >/dev/null 2>&1; then
  echo "$(date +%T)  agent loaded before the client started"
else
  echo "$(date +%T)  agent not loaded; starting the client, which loads it"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "no display: the client runs on Qt's offscreen platform; its state is followed here."
  "$bin/quern-zova" &
  client=$!
  trap 'kill $client 2>/dev/null; cleanup' EXIT
  for _ in $(seq 1 ${QUERN_DEMO_SECONDS:-20}); do
    sleep 1
    state="not loaded"
    if "$bin/quern-launchctl" print "gui/$(id -u)/$label" >/dev/null 2>&1; then state="loaded"; fi
    health="$(cat "$demo_home/.quern-web-bridge/health.json" 2>/dev/null || echo '(no health file yet)')"
    echo "$(date +%T)  agent $state  health: $health"
  done
else
  "$bin/quern-zova"
fi
