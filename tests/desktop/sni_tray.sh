#!/usr/bin/env bash
# The real client with a StatusNotifierItem tray: a StatusNotifierWatcher (sni_watcher.py) on the
# session bus of a private systemd user manager, the client on Xvfb, the demo agent as the manager's
# unit. The item registers, its menu has the seven entries and exports Ctrl+R and Ctrl+Q for the host
# to offer, the client starts the inactive unit and reads 设备在线, and while it refreshes (each
# refresh asks systemd over that same bus) no process opens a bus connection.
#
# usage: scripts/user-manager.sh sni_tray.sh CLIENT AGENT
#   (ctest runs it so; without a private manager it exits 77, skipped)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: scripts/user-manager.sh $0 CLIENT AGENT" >&2; exit 2; }
name=sni_tray
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=../support/agent-session.sh
. "$here/../support/agent-session.sh" "$1" "$2"
fail() {
  echo "sni_tray: FAIL: $*" >&2
  [ -s "$work/client.log" ] && tail -n 20 "$work/client.log" >&2
  exit 1
}
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || fail "Debian's /usr/bin/python3 with python3-gi is needed"

work=$(mktemp -d "${TMPDIR:-/tmp}/quern-sni.XXXXXX")
logs="$work"
home="$work/home"
mkdir -p "$home"
# shellcheck source=../../scripts/x-session.sh
. "$scripts/x-session.sh"
watcher_pid="" client_pid=""
cleanup() {
  set +e
  stop_process "$client_pid" # first: alive, it would start the unit again
  systemctl --user stop "$unit" >/dev/null 2>&1
  for pid in "$watcher_pid" "$trayer_pid" "$xvfb_pid"; do stop_process "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT

install_agent_unit "$home"

start_x_session 800 600
# On the manager's session bus, where the client also finds systemd.
/usr/bin/python3 "$here/sni_watcher.py" "$DBUS_SESSION_BUS_ADDRESS" "$work/ready" 60 >"$work/watcher.log" 2>&1 &
watcher_pid=$!
watcher_ready() { kill -0 "$watcher_pid" 2>/dev/null || fail "$(cat "$work/watcher.log")"; test -s "$work/ready"; }
wait_for 20 "the watcher to own org.kde.StatusNotifierWatcher" watcher_ready

# Nothing else of the test's touches the bus until the watcher is done: it counts every connection.
env -u QT_QPA_PLATFORMTHEME -u WAYLAND_DISPLAY -u QUERN_ZOVA_LAUNCHCTL HOME="$home" \
  QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 "$client" >"$work/client.log" 2>&1 &
client_pid=$!

wait "$watcher_pid" || fail "$(cat "$work/watcher.log")"
watcher_pid=""
[ "$(unit_state)" = active ] || fail "the menu read 设备在线 but the unit is $(unit_state)"
cat "$work/watcher.log"
