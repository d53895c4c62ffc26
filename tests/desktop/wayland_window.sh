#!/usr/bin/env bash
# The real client under Wayland (weston's headless backend, Qt's wayland plugin): its toplevel
# carries the desktop entry's name as app id and maps at 460x420, the client starts the demo agent's
# inactive unit on a private systemd user manager, and it prints nothing of its own (no warning
# about a tray that Wayland does not have, nor about the bus).
#
# usage: scripts/user-manager.sh wayland_window.sh CLIENT AGENT SOURCE_DIR
#   (ctest runs it so; without a private manager it exits 77, skipped)
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: scripts/user-manager.sh $0 CLIENT AGENT SOURCE_DIR" >&2; exit 2; }
name=wayland_window
# shellcheck source=../support/agent-session.sh
. "$(dirname "$0")/../support/agent-session.sh" "$1" "$2"
source=$3
fail() {
  echo "wayland_window: FAIL: $*" >&2
  [ ! -s "$work/client.log" ] || grep -v '^\[' "$work/client.log" | tail -n 20 >&2
  exit 1
}
command -v weston >/dev/null || fail "weston is missing; run scripts/install-deps.sh (weston, qt6-wayland)"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-wayland.XXXXXX")
mkdir -p "$work/home"
# shellcheck source=../../scripts/x-session.sh
. "$scripts/x-session.sh" # wait_for and stop_process; no X server here
weston_pid=""
client_pid=""
trap 'stop_process "$client_pid"; systemctl --user stop "$unit"; stop_process "$weston_pid"; rm -rf "$work"' EXIT

install_agent_unit "$work/home"

# In the manager's runtime folder, private to this run, as the client's lock and socket are.
weston --backend=headless-backend.so --use-pixman --socket=quern-wl \
  --idle-time=0 >"$work/weston.log" 2>&1 &
weston_pid=$!
weston_ready() { kill -0 "$weston_pid" 2>/dev/null || fail "weston exited: $(cat "$work/weston.log")"; [ -S "$XDG_RUNTIME_DIR/quern-wl" ]; }
wait_for 20 "weston's socket" weston_ready

# No decorations of Qt's own drawing: the buffer is then exactly the window's content.
env -u DISPLAY -u QUERN_ZOVA_LAUNCHCTL HOME="$work/home" WAYLAND_DISPLAY=quern-wl QT_QPA_PLATFORM=wayland \
  WAYLAND_DEBUG=1 QT_WAYLAND_DISABLE_WINDOWDECORATION=1 "$client" >"$work/client.log" 2>&1 &
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
unit_active() { kill -0 "$client_pid" 2>/dev/null || fail "the client exited"; [ "$(unit_state)" = active ]; }
wait_for 60 "the client to start the unit" unit_active
health_written() { [ -s "$work/home/.quern-web-bridge/health.json" ]; }
wait_for 60 "the agent, with the test's home as HOME, to write its health file" health_written

app_id=$(sed -n 's/.*xdg_toplevel@[0-9]*\.set_app_id("\([^"]*\)").*/\1/p' "$work/client.log" | head -n 1)
[ -f "$source/resources/linux/$app_id.desktop" ] ||
  fail "the toplevel's app id \"$app_id\" names no desktop entry in resources/linux/"
! grep -v '^\[' "$work/client.log" | grep -q . || fail "the client printed more than the protocol"
echo "wayland_window: mapped at 460x420 as $app_id; the client started $unit"
