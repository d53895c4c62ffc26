#!/usr/bin/env bash
# The client whose session bus takes connections and never answers (a stopped or wedged bus, a stale
# socket that something else listens on), headless and on Xvfb: it still shows its state and hands
# over to a second launch, and once the real bus answers at that address it finds the manager and
# starts the agent. On Xvfb it then starts again on the bus: its tray item registers with the
# StatusNotifierWatcher there, the window stays closed as it was left, and the browser it starts
# gets the real address.
#
# usage: scripts/user-manager.sh silent_bus.sh CLIENT AGENT   (77: skipped without a private manager)
set -euo pipefail
name=silent_bus
# shellcheck source=../support/agent-session.sh
. "$(dirname "$0")/../support/agent-session.sh" "$1" "$2"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-silent-bus.XXXXXX")
logs=$work
fail() {
  echo "$name: FAIL: $*" >&2
  tail -n 20 "$work"/client-*.log >&2 || true
  exit 1
}
# shellcheck source=../../scripts/x-session.sh
. "$scripts/x-session.sh"
client_pid="" listener_pid="" watcher_pid=""
cleanup() {
  set +e
  stop_process "$client_pid"
  stop_process "$listener_pid"
  stop_process "$watcher_pid"
  stop_process "$trayer_pid"
  stop_process "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 "$(dirname "$0")/../support/silent_bus_listener.py" "$work/silent" &
listener_pid=$!
wait_for 20 "the silent listener" test -S "$work/silent"
install_agent_unit "$work"
# xdg-open, as the client finds it: says which bus the browser would have been given.
mkdir "$work/stub"
cat >"$work/stub/xdg-open" <<EOF
#!/bin/sh
echo "\$DBUS_SESSION_BUS_ADDRESS" >"$work/opened.part" && mv "$work/opened.part" "$work/opened"
EOF
chmod +x "$work/stub/xdg-open"

# run_client PLATFORM [ARGS]: the client on the bus at $work/bus, in the background.
run_client() {
  env -u WAYLAND_DISPLAY -u QUERN_ZOVA_LAUNCHCTL HOME="$work" QT_QPA_PLATFORM="$1" LANG=C.UTF-8 \
    PATH="$work/stub:$PATH" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" "$client" >>"$work/client-$1.log" 2>&1 &
  client_pid=$!
}
second_launch_hands_over() {
  env -u WAYLAND_DISPLAY HOME="$work" QT_QPA_PLATFORM="$1" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" \
    timeout 60 "$client" >>"$work/second-$1.log" 2>&1 || fail "a second launch did not hand over ($1)"
}
shows() { kill -0 "$client_pid" 2>/dev/null || fail "the client exited"; grep -q "quern-zova: $1" "$work/client-offscreen.log"; }
unit_active() { [ "$(unit_state)" = active ]; }

# Headless: the state is printed, the manager being out of reach.
ln -sfn "$work/silent" "$work/bus"
run_client offscreen
wait_for 60 "the stopped state on a silent bus" shows "代理已停止"
second_launch_hands_over offscreen
ln -sfn "$XDG_RUNTIME_DIR/bus" "$work/bus" # the bus answers now
wait_for 60 "the agent online once the bus answers" shows "设备在线"
stop_process "$client_pid"
systemctl --user stop "$unit"

# On X11, where Qt's own D-Bus users start inside QApplication: the window maps.
ln -sfn "$work/silent" "$work/bus"
start_x_session 800 600
run_client xcb
# The main window: mapped, and a child of the root (the tray icon may bear the same name).
main_window() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$client_pid" --name '^Quern Zova$' 2>/dev/null); do
    xwininfo -tree -id "$id" | grep -q 'Parent window id:.*(the root window)' && echo "$id"
  done
  return 0
}
window_mapped() {
  kill -0 "$client_pid" 2>/dev/null || fail "the client exited"
  [ -n "$(main_window)" ]
}
wait_for 60 "the window on a silent bus" window_mapped
second_launch_hands_over xcb
! unit_active || fail "the agent runs though the manager was out of reach"
close_window "$(main_window)"
window_closed() { ! window_mapped; }
wait_for 60 "the window to close" window_closed
/usr/bin/python3 "$(dirname "$0")/../desktop/sni_watcher.py" "$DBUS_SESSION_BUS_ADDRESS" "$work/ready" 120 \
  打开控制台 >"$work/watcher.log" 2>&1 &
watcher_pid=$!
wait_for 20 "the StatusNotifierWatcher" test -s "$work/ready"
ln -sfn "$XDG_RUNTIME_DIR/bus" "$work/bus"
wait "$watcher_pid" || fail "$(cat "$work/watcher.log")"
watcher_pid=""
wait_for 60 "xdg-open to run" test -s "$work/opened"
[ "$(cat "$work/opened")" = "unix:path=$work/bus" ] || fail "the browser was given the bus $(cat "$work/opened")"
unit_active || fail "the client is online but the unit is $(unit_state)"
window_closed || fail "the window was closed, and is shown after the restart"
[ "$(grep -c 'starting again' "$work/client-xcb.log")" = 1 ] || fail "the client did not start again just once"
echo "$name: ok"
