#!/usr/bin/env bash
# The real client, the demo agent as a unit of a private systemd user manager and a real XEmbed tray
# host (trayer) on a private Xvfb display. Checks the window, the docked tray icon, the client
# starting the inactive unit and the agent coming online, the tray's context menu, docking into a
# later tray host, a left click on the icon, a launch after a crash, a second launch, and the open
# menu's shortcuts: Ctrl+R reconnects, Ctrl+Q quits with the window shown (the unit stays active).
# Screenshots and logs: OUTPUT_DIR/tray_end_to_end/.
#
# usage: scripts/user-manager.sh tray_end_to_end.sh CLIENT AGENT OUTPUT_DIR
#   (ctest runs it so; without a private manager it exits 77, skipped)
set -euo pipefail
set -o errtrace

name=tray_end_to_end
if [ $# -ne 3 ]; then
  echo "usage: scripts/user-manager.sh $0 CLIENT AGENT OUTPUT_DIR" >&2
  exit 2
fi
# shellcheck source=../support/agent-session.sh
. "$(dirname "$0")/../support/agent-session.sh" "$1" "$2"
out="$(realpath -m -- "$3")/$name"

fail() {
  trap - ERR
  echo "$name: FAIL: $*" >&2
  echo "$name: logs and screenshots are in $out" >&2
  [ ! -s "$out/client.log" ] || tail -n 20 "$out/client.log" >&2
  exit 1
}
trap 'fail "unexpected failure of \"$BASH_COMMAND\" (line $LINENO)"' ERR

for tool in Xvfb trayer xdotool xwininfo xprop xauth import timeout systemctl busctl; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/install-deps.sh"
done
/usr/bin/python3 -c 'import Xlib' 2>/dev/null || fail "python3-xlib is missing; run scripts/install-deps.sh"
# ImageMagick's own convert by its Debian path: another `convert` may come first on PATH.
convert_tool=/usr/bin/convert
[ -x "$convert_tool" ] || convert_tool=$(command -v convert) || fail "ImageMagick's convert is missing"

rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-tray-e2e.XXXXXX")
home="$work/home Zoë 家目录" # a space and non-ASCII letters on the way to every file the client uses
runtime_dir=$XDG_RUNTIME_DIR # the manager's, private to this run
mkdir -p "$home"

client_pid=""
logs="$out"
# shellcheck source=../../scripts/x-session.sh
. "$scripts/x-session.sh"

cleanup() {
  trap - ERR
  set +e
  # The client first: alive, it would start the agent again right after the stop. (The manager
  # and all it runs end with this script anyway.)
  stop_process "$client_pid"
  systemctl --user stop "$unit" >/dev/null 2>&1
  stop_process "$trayer_pid"
  stop_process "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

start_x_session 1280 800
install_agent_unit "$home"
# The client reaches the manager on the session bus; the tray icon must still dock through XEmbed,
# which Qt picks only when no StatusNotifierWatcher is on that bus.
! busctl --user status org.kde.StatusNotifierWatcher >/dev/null 2>&1 ||
  fail "a StatusNotifierWatcher is on the session bus: the icon would not dock through XEmbed"

# start_client [WRAPPER...]: the client in the test's home and session, appending to client.log.
start_client() {
  env -u QT_QPA_PLATFORMTHEME -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR -u WAYLAND_DISPLAY \
    -u QUERN_ZOVA_LAUNCHCTL HOME="$home" QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    "$@" "$client" >>"$out/client.log" 2>&1 &
}
client_alive() { kill -0 "$client_pid" 2>/dev/null || fail "the client exited; see $out/client.log"; }
is_top_level() { xwininfo -tree -id "$1" | grep -q 'Parent window id:.*(the root window)'; }

main_window=""
find_main_window() {
  client_alive
  local id
  for id in $(xdotool search --onlyvisible --name '^Quern Zova$' 2>/dev/null || true); do
    if is_top_level "$id" && ! is_override_redirect "$id" && [ "$(window_pid "$id")" = "$client_pid" ]; then
      main_window=$id
      return 0
    fi
  done
  return 1
}

# Embedded: a client window with _XEMBED_INFO whose ancestors include trayer's panel.
tray_icon=""
inside_trayer() {
  local id=$1
  for _ in 1 2 3 4 5; do
    id=$(xwininfo -tree -id "$id" | awk '/Parent window id:/{print $4}')
    [ -n "$id" ] && [ "$id" != 0x0 ] || return 1
    xprop -id "$id" WM_CLASS 2>/dev/null | grep -q '"trayer"' && return 0
  done
  return 1
}
find_tray_icon() {
  client_alive
  local id
  for id in $(xdotool search --onlyvisible --pid "$client_pid" 2>/dev/null || true); do
    if ! is_top_level "$id" && xprop -id "$id" _XEMBED_INFO 2>/dev/null | grep -q '= ' && inside_trayer "$id"; then
      tray_icon=$id
      icon_width=$(geometry_field "$id" Width)
      icon_height=$(geometry_field "$id" Height)
      icon_x=$(geometry_field "$id" "Absolute upper-left X")
      icon_y=$(geometry_field "$id" "Absolute upper-left Y")
      return 0
    fi
  done
  return 1
}

# ---- The window, the docked icon, the agent online -----------------------------------------------

start_client
client_pid=$!
wait_for 60 "a mapped top-level window named \"Quern Zova\" from the client" find_main_window
window_size="$(geometry_field "$main_window" Width)x$(geometry_field "$main_window" Height)"
[ "$window_size" = 460x420 ] || fail "the window's content area is $window_size, not 460x420"
wait_for 60 "the client's tray icon to be embedded in trayer" find_tray_icon

# count_colour FILE COLOUR: pixels of exactly that colour.
count_colour() {
  "$convert_tool" "$1" -alpha off -fill black +opaque "$2" -fill white -opaque "$2" \
    -format '%[fx:round(mean*w*h)]' info:
}
# The green state dot (the app icon's green differs), and neither red nor orange.
window_shows_online() {
  client_alive
  import -window "$main_window" "$work/window.png" 2>/dev/null || return 1
  [ "$(count_colour "$work/window.png" '#34C759')" -ge 40 ] &&
    [ "$(count_colour "$work/window.png" '#FF3B30')" -lt 10 ] &&
    [ "$(count_colour "$work/window.png" '#FF9500')" -lt 10 ]
}
wait_for 60 "the window to show the green online dot once the client has started the unit" window_shows_online
[ "$(unit_state)" = active ] || fail "the window shows online but the unit is $(unit_state)"
cp "$work/window.png" "$out/window-online.png"

# ---- The tray's context menu ---------------------------------------------------------------------

popups() {
  local id
  for id in $(xwininfo -root -children | awk '$1 ~ /^0x/ {print $1}'); do
    is_viewable "$id" && is_override_redirect "$id" && echo "$id"
  done
  return 0
}
# open_menu: a right click on the lower edge of the icon; the menu opens at the pointer.
menu=""
open_menu() {
  local before
  before=$(popups | sort)
  xdotool mousemove "$((icon_x + icon_width / 2))" "$((icon_y + icon_height - 2))" click 3
  menu_opened() {
    client_alive
    local id
    for id in $(popups); do
      grep -qx "$id" <<<"$before" && continue
      [ "$(window_pid "$id")" = "$client_pid" ] || xprop -id "$id" WM_CLASS | grep -q '"quern-zova"' ||
        continue
      menu=$id
      return 0
    done
    return 1
  }
  wait_for 60 "a new override-redirect menu window after a right click on the tray icon" menu_opened
}
open_menu
xdotool key Escape
menu_closed() { ! is_viewable "$menu"; }
wait_for 60 "the menu to close on Escape" menu_closed

# The tray host goes away and another one appears: the icon docks into the new one.
stop_process "$trayer_pid"
trayer --edge top --align right --widthtype request --height 24 --transparent false >>"$out/trayer.log" 2>&1 &
trayer_pid=$!
tray_icon=""
wait_for 60 "the tray icon to dock into a tray host that appeared later" find_tray_icon

# ---- A left click on the icon shows the closed window ----------------------------------------------

window_shown() { client_alive && is_viewable "$main_window"; }
window_hidden() { client_alive && ! is_viewable "$main_window"; }
# close_and_wait: the window manager's close, sent once, until the window is hidden.
close_and_wait() {
  close_window "$main_window"
  wait_for 60 "the window to hide when closed" window_hidden
}
close_and_wait
xdotool mousemove "$((icon_x + icon_width / 2))" "$((icon_y + icon_height / 2))" click 1
wait_for 60 "a left click on the tray icon to show the window" window_shown

# ---- A crash leaves its lock and socket behind; the next launch takes them over ---------------------

kill -KILL "$client_pid"
wait "$client_pid" || true
for leftover in quern-zova.lock quern-zova.socket; do
  [ -e "$runtime_dir/$leftover" ] || fail "a killed client left no $leftover behind: nothing to take over"
done
start_client
client_pid=$!
wait_for 60 "a launch after a crash to map its window" find_main_window
wait_for 60 "the new client's tray icon to be embedded in trayer" find_tray_icon

# ---- A second launch shows the first client's window and exits 0 -----------------------------------

close_and_wait
start_client timeout 60 # a second client that stays would keep this test waiting
second_status=0
wait $! || second_status=$?
[ "$second_status" -ne 124 ] || fail "hung: a second launch was still running after 60 s"
[ "$second_status" -eq 0 ] || fail "a second launch exited with status $second_status, not 0"
wait_for 60 "the running client to show its window for a second launch" window_shown

# ---- The open menu's shortcuts: Ctrl+R reconnects and closes it ------------------------------------

# The agent logs each SIGHUP, the reconnect the client sends it.
hangups() { grep -c 'reconnect (SIGHUP)' "$home/.quern-web-bridge/agent.log" || true; }
hangups_before=$(hangups)
open_menu
xdotool key ctrl+r
reconnected() { client_alive && [ "$(hangups)" -gt "$hangups_before" ]; }
wait_for 60 "Ctrl+R in the open menu to reconnect the agent (a SIGHUP in agent.log)" reconnected
wait_for 60 "the menu to close after Ctrl+R" menu_closed

# ---- Ctrl+Q in the open menu quits while the window is shown; the unit stays active ----------------

open_menu
xdotool key ctrl+q
client_exited() { [[ "$(ps -o stat= -p "$client_pid" 2>/dev/null || echo Z)" == Z* ]]; }
wait_for 60 "the client to exit after Ctrl+Q in the open menu with its window shown" client_exited
client_status=0
wait "$client_pid" || client_status=$?
client_pid=""
[ "$client_status" -eq 0 ] || fail "the client quit with status $client_status"
[ "$(unit_state)" = active ] || fail "quitting left the unit $(unit_state), not active"
# Long after the reconnect's SIGHUP arrived: one key press, one reconnect.
[ "$(hangups)" -eq $((hangups_before + 1)) ] ||
  fail "Ctrl+R reconnected $(($(hangups) - hangups_before)) times, not once"

echo "$name: window $window_size, tray icon ${icon_width}x${icon_height} in trayer, unit started, online, menu," \
  "docking again, the click, a crash, a second launch, Ctrl+R and Ctrl+Q all behaved; see $out"
