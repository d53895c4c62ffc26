#!/usr/bin/env bash
# The real client with a StatusNotifierItem tray: a StatusNotifierWatcher (sni_watcher.py) on a
# private session bus, the client on Xvfb against the stand-ins. The item registers, its menu has
# the seven entries, and while the agent comes online the refreshes open no bus connection.
#
# usage: sni_tray.sh CLIENT LAUNCHCTL AGENT
set -euo pipefail
client=$1
launchctl=$2
agent=$3
here="$(cd "$(dirname "$0")" && pwd)"
export QUERN_AGENT_IDENTITY="$(dirname "$launchctl")/agent-identity.sh"
# shellcheck source=../../scripts/agent-identity.sh.in
. "$QUERN_AGENT_IDENTITY"
target="gui/$(id -u)/$quern_service_label"
fail() {
  echo "sni_tray: FAIL: $*" >&2
  [ -s "$work/client.log" ] && tail -n 20 "$work/client.log" >&2
  exit 1
}
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || fail "Debian's /usr/bin/python3 with python3-gi is needed"

work=$(mktemp -d "${TMPDIR:-/tmp}/quern-sni.XXXXXX")
logs="$work"
home="$work/home"
mkdir -p "$home/Library/LaunchAgents" "$work/launchd" "$work/runtime"
chmod 700 "$work/launchd" "$work/runtime"
# shellcheck source=../../scripts/x-session.sh
. "$here/../../scripts/x-session.sh"
bus_pid="" watcher_pid="" client_pid=""
cleanup() {
  set +e
  stop_process "$client_pid" # first: alive, it would load the agent again
  QUERN_LAUNCHD_DIR="$work/launchd" "$launchctl" bootout "$target" >/dev/null 2>&1
  for pid in "$watcher_pid" "$bus_pid" "$trayer_pid" "$xvfb_pid"; do stop_process "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT

start_x_session 800 600
dbus-daemon --session --nofork --address="unix:path=$work/bus" >"$work/bus.log" 2>&1 &
bus_pid=$!
wait_for 20 "the private session bus" test -S "$work/bus"
address="unix:path=$work/bus"
/usr/bin/python3 "$here/sni_watcher.py" "$address" "$work/ready" 60 >"$work/watcher.log" 2>&1 &
watcher_pid=$!
watcher_ready() { kill -0 "$watcher_pid" 2>/dev/null || fail "$(cat "$work/watcher.log")"; test -s "$work/ready"; }
wait_for 20 "the watcher to own org.kde.StatusNotifierWatcher" watcher_ready

"$here/../../scripts/agent-plist.sh" true "$agent" >"$home/Library/LaunchAgents/$quern_service_label.plist"
env -u QT_QPA_PLATFORMTHEME -u WAYLAND_DISPLAY HOME="$home" QUERN_LAUNCHD_DIR="$work/launchd" \
  QUERN_ZOVA_LAUNCHCTL="$launchctl" XDG_RUNTIME_DIR="$work/runtime" DBUS_SESSION_BUS_ADDRESS="$address" \
  QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 "$client" >"$work/client.log" 2>&1 &
client_pid=$!

wait "$watcher_pid" || fail "$(cat "$work/watcher.log")"
watcher_pid=""
cat "$work/watcher.log"
