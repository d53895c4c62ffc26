#!/usr/bin/env bash
# Takes the README's screenshots from the running client: online.png, connecting.png, stopped.png
# and tray-menu.png in docs/screenshots/. Builds nothing: it uses the programs in build/default/bin,
# or the two given. The client runs on a private Xvfb display with trayer as its tray host, against
# the demo agent as a unit of a private systemd user manager (scripts/user-manager.sh, which this
# script runs itself under), in a throwaway home.
#
# usage: scripts/screenshots.sh [CLIENT AGENT]
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build/default/bin"
if [ $# -eq 2 ]; then
  client=$(realpath -- "$1")
  agent=$(realpath -- "$2")
elif [ $# -eq 0 ]; then
  client="$bin/quern-zova"
  agent="$bin/quern-bridge-agent"
else
  echo "usage: $0 [CLIENT AGENT]" >&2
  exit 2
fi
if [ -z "${QUERN_SCREENSHOTS_PRIVATE:-}" ]; then
  QUERN_SCREENSHOTS_PRIVATE=1 exec "$root/scripts/user-manager.sh" "$0" "$client" "$agent"
fi
out="${QUERN_SCREENSHOT_DIR:-$root/docs/screenshots}"
# The unit's name as the build beside the client has it.
export QUERN_AGENT_IDENTITY="$(dirname "$client")/agent-identity.sh"
# shellcheck source=agent-identity.sh.in
. "$QUERN_AGENT_IDENTITY"
unit=$quern_service_unit
unit_file="$XDG_RUNTIME_DIR/systemd/user/$unit"
width=1280
height=800

die() {
  echo "screenshots: $*" >&2
  exit 1
}
[ -z "${QUERN_NO_USER_MANAGER:-}" ] || die "no private systemd user manager: $QUERN_NO_USER_MANAGER"

for tool in Xvfb trayer xdotool xwininfo xprop xauth import identify compare; do
  command -v "$tool" >/dev/null || die "$tool is missing; run scripts/install-deps.sh"
done
for program in "$client" "$agent"; do
  [ -x "$program" ] || die "$program is not an executable; build first (cmake --build --preset default)"
done
# ImageMagick's own convert by its Debian path: another `convert` may come first on PATH.
convert_tool=/usr/bin/convert
[ -x "$convert_tool" ] || convert_tool=$(command -v convert) || die "ImageMagick's convert is missing"

work=$(mktemp -d "${TMPDIR:-/tmp}/quern-screenshots.XXXXXX")
client_pid=""
logs="$work"
fail() { die "$*"; }
# shellcheck source=x-session.sh
. "$root/scripts/x-session.sh"

# The client before the unit: alive, it would start the unit again.
stop_client() {
  stop_process "$client_pid"
  client_pid=""
  systemctl --user stop "$unit" >/dev/null 2>&1 || true
  systemctl --user reset-failed "$unit" >/dev/null 2>&1 || true
}

cleanup() {
  set +e
  stop_client
  stop_process "$trayer_pid"
  stop_process "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# ---- X session: white root, trayer docked top right, no window manager -----------------------------

start_x_session "$width" "$height"

# ---- Helpers -------------------------------------------------------------------------------------

count_colour() {
  "$convert_tool" "$1" -alpha off -fill black +opaque "$2" -fill white -opaque "$2" \
    -format '%[fx:round(mean*w*h)]' info:
}

write_unit() { # PROGRAM-ARGUMENT...: the unit, run with the current home, inactive
  mkdir -p "$(dirname "$unit_file")"
  "$root/scripts/agent-unit.sh" "$home" "$@" >"$unit_file"
  systemctl --user daemon-reload
}

home=""
new_home() { # NAME: a fresh home
  home="$work/$1/home"
  mkdir -p "$home"
}

# The client reaches the manager on its session bus, on which no StatusNotifierWatcher runs: the
# tray icon docks in trayer through XEmbed.
start_client() { # NAME
  env -u QT_QPA_PLATFORMTHEME -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR -u WAYLAND_DISPLAY \
    -u QUERN_ZOVA_LAUNCHCTL HOME="$home" QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    "$client" >"$work/$1/client.log" 2>&1 &
  client_pid=$!
}

main_window=""
find_main_window() {
  kill -0 "$client_pid" 2>/dev/null || die "the client exited"
  local id
  for id in $(xdotool search --onlyvisible --name '^Quern Zova$' 2>/dev/null || true); do
    if ! is_override_redirect "$id" && [ "$(window_pid "$id")" = "$client_pid" ] &&
      [ "$(geometry_field "$id" Width)" = 460 ]; then
      main_window=$id
      return 0
    fi
  done
  return 1
}

# Shows COLOUR's dot, not the other two, and looks the same in two shots in a row.
expected_colour=""
shows_state() {
  kill -0 "$client_pid" 2>/dev/null || die "the client exited"
  import -window "$main_window" -define png:exclude-chunks=date,time "$work/shot.png" 2>/dev/null || return 1
  local colour result=1
  for colour in '#34C759' '#FF9500' '#FF3B30'; do
    if [ "$colour" = "$expected_colour" ]; then
      [ "$(count_colour "$work/shot.png" "$colour")" -ge 40 ] || result=2
    else
      [ "$(count_colour "$work/shot.png" "$colour")" -lt 10 ] || result=2
    fi
  done
  if [ "$result" = 1 ] && [ -f "$work/previous.png" ] &&
    [ "$(compare -metric AE "$work/shot.png" "$work/previous.png" null: 2>&1 || true)" = 0 ]; then
    result=0
  fi
  mv "$work/shot.png" "$work/previous.png"
  return "$result"
}

shoot_window() { # NAME COLOUR
  expected_colour=$2
  rm -f "$work/previous.png"
  wait_for 20 "the window" find_main_window
  wait_for 30 "the window to show $1 ($2)" shows_state
  cp "$work/previous.png" "$out/$1.png"
  echo "screenshots: $out/$1.png"
}

# ---- The three states ----------------------------------------------------------------------------

mkdir -p "$out"

# Online: the unit starts inactive; the client starts it and the agent writes its health file.
new_home online
write_unit "$agent"
start_client online
shoot_window online '#34C759'

# The open tray menu, with the icon above it.
tray_icon=""
find_tray_icon() {
  local id
  for id in $(xdotool search --onlyvisible --pid "$client_pid" 2>/dev/null || true); do
    # Qt marks its own top-level windows with _XEMBED_INFO too; the icon is the one docked inside trayer.
    xwininfo -tree -id "$id" | grep -q "Parent window id:.*(the root window)" && continue
    xprop -id "$id" _XEMBED_INFO 2>/dev/null | grep -q '= ' && tray_icon=$id && return 0
  done
  return 1
}
wait_for 20 "the tray icon" find_tray_icon
icon_x=$(geometry_field "$tray_icon" "Absolute upper-left X")
icon_y=$(geometry_field "$tray_icon" "Absolute upper-left Y")
icon_width=$(geometry_field "$tray_icon" Width)
icon_height=$(geometry_field "$tray_icon" Height)
xdotool mousemove "$((icon_x + icon_width / 2))" "$((icon_y + icon_height - 1))" click 3
menu=""
find_menu() {
  local id
  for id in $(xwininfo -root -children | awk '$1 ~ /^0x/ {print $1}'); do
    if is_viewable "$id" && is_override_redirect "$id" && [ "$(window_pid "$id")" = "$client_pid" ]; then
      menu=$id
      return 0
    fi
  done
  return 1
}
wait_for 10 "the tray menu" find_menu
xdotool mousemove 20 $((height - 20)) # no item under the pointer, so none is highlighted
menu_x=$(geometry_field "$menu" "Absolute upper-left X")
menu_y=$(geometry_field "$menu" "Absolute upper-left Y")
menu_height=$(geometry_field "$menu" Height)
margin=16
left=$((menu_x < icon_x ? menu_x : icon_x))
left=$((left > margin ? left - margin : 0))
top=0 # the whole panel height, so the icon shows in its tray
bottom=$((menu_y + menu_height + margin))
crop="$((width - left))x$((bottom - top))+${left}+${top}"
menu_settled() {
  import -window root -crop "$crop" +repage -define png:exclude-chunks=date,time "$work/menu.png"
  if [ -f "$work/menu-previous.png" ] &&
    [ "$(compare -metric AE "$work/menu.png" "$work/menu-previous.png" null: 2>&1 || true)" = 0 ]; then
    return 0
  fi
  mv "$work/menu.png" "$work/menu-previous.png"
  return 1
}
wait_for 10 "the tray menu to settle" menu_settled
cp "$work/menu.png" "$out/tray-menu.png"
echo "screenshots: $out/tray-menu.png"
xdotool key Escape
stop_client

# Connecting: the unit is active, but its process never writes a health file and ignores the
# client's SIGHUP, so the state holds still for the picture.
new_home connecting
write_unit /bin/sh -c "trap '' HUP; exec sleep infinity"
systemctl --user start "$unit"
start_client connecting
shoot_window connecting '#FF9500'
stop_client

# Stopped: no unit file at all, so the client's start fails every time.
new_home stopped
rm -f "$unit_file"
systemctl --user daemon-reload
start_client stopped
shoot_window stopped '#FF3B30'
stop_client
