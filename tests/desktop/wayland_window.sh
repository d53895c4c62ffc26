#!/usr/bin/env bash
# The real client under Wayland (weston's headless backend, Qt's wayland plugin): its toplevel
# carries the desktop entry's name as app id and maps at 460x420, and the client prints nothing of
# its own (no warning about a tray that Wayland does not have).
#
# usage: wayland_window.sh CLIENT LAUNCHCTL SOURCE_DIR
set -euo pipefail
client=$1
launchctl=$2
source=$3
fail() {
  echo "wayland_window: FAIL: $*" >&2
  [ ! -s "$work/client.log" ] || grep -v '^\[' "$work/client.log" | tail -n 20 >&2
  exit 1
}
command -v weston >/dev/null || fail "weston is missing; run scripts/install-deps.sh (weston, qt6-wayland)"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-wayland.XXXXXX")
mkdir -p "$work/runtime" "$work/home/Library/LaunchAgents" "$work/launchd"
chmod 700 "$work/runtime" "$work/launchd"
# shellcheck source=../../scripts/x-session.sh
. "$source/scripts/x-session.sh" # wait_for and stop_process; no X server here
weston_pid=""
client_pid=""
trap 'stop_process "$client_pid"; stop_process "$weston_pid"; rm -rf "$work"' EXIT

XDG_RUNTIME_DIR="$work/runtime" weston --backend=headless-backend.so --use-pixman --socket=quern-wl \
  --idle-time=0 >"$work/weston.log" 2>&1 &
weston_pid=$!
weston_ready() { kill -0 "$weston_pid" 2>/dev/null || fail "weston exited: $(cat "$work/weston.log")"; [ -S "$work/runtime/quern-wl" ]; }
wait_for 20 "weston's socket" weston_ready

# No decorations of Qt's own drawing: the buffer is then exactly the window's content.
env -u DISPLAY HOME="$work/home" QUERN_LAUNCHD_DIR="$work/launchd" QUERN_ZOVA_LAUNCHCTL="$launchctl" \
  XDG_RUNTIME_DIR="$work/runtime" WAYLAND_DISPLAY=quern-wl QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 \
  QT_WAYLAND_DISABLE_WINDOWDECORATION=1 DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
  "$client" >"$work/client.log" 2>&1 &
client_pid=$!

# Mapped: a 460x420 buffer attached to the surface after the toplevel's window geometry was set.
mapped() {
  kill -0 "$client_pid" 2>/dev/null || fail "the client exited"
  awk '/set_window_geometry\(0, 0, 460, 420\)/ { geometry = 1 }
       geometry && /create_buffer\(new id wl_buffer@[0-9]+, 0, 460, 420,/ {
         match($0, /wl_buffer@[0-9]+/); buffers[substr($0, RSTART, RLENGTH)] = 1 }
       /wl_surface@[0-9]+\.attach\(wl_buffer@/ {
         match($0, /wl_buffer@[0-9]+/); if (substr($0, RSTART, RLENGTH) in buffers) found = 1 }
       END { exit !found }' "$work/client.log"
}
wait_for 30 "the window to map at 460x420" mapped

app_id=$(sed -n 's/.*xdg_toplevel@[0-9]*\.set_app_id("\([^"]*\)").*/\1/p' "$work/client.log" | head -n 1)
[ -f "$source/resources/linux/$app_id.desktop" ] ||
  fail "the toplevel's app id \"$app_id\" names no desktop entry in resources/linux/"
! grep -v '^\[' "$work/client.log" | grep -q . || fail "the client printed more than the protocol"
echo "wayland_window: mapped at 460x420 as $app_id"
