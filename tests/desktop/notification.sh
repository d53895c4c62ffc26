#!/usr/bin/env bash
# The real client tells the desktop once that the agent keeps exiting. The unit exits at once every
# time and systemd restarts it twice, then gives up; a notification service and a
# StatusNotifierWatcher (notifications.py) are on the manager's session bus, the client on Xvfb.
# The client resets the unit, holds, and says in one notification when it tries again; it resets
# again after the hold and holds again in the same episode, saying nothing more.
#
# usage: scripts/user-manager.sh notification.sh CLIENT AGENT
#   (ctest runs it so; without a private manager it exits 77, skipped)
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: scripts/user-manager.sh $0 CLIENT AGENT" >&2; exit 2; }
name=notification
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=../support/agent-session.sh
. "$here/../support/agent-session.sh" "$1" "$2"
fail() {
  echo "notification: FAIL: $*" >&2
  [ -s "$work/notifications" ] && cat "$work/notifications" >&2
  [ -s "$work/client.log" ] && tail -n 20 "$work/client.log" >&2
  exit 1
}
/usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null || fail "Debian's /usr/bin/python3 with python3-gi is needed"

work=$(mktemp -d "${TMPDIR:-/tmp}/quern-notification.XXXXXX")
logs="$work"
home="$work/home"
mkdir -p "$home"
# shellcheck source=../../scripts/x-session.sh
. "$scripts/x-session.sh"
server_pid="" client_pid=""
cleanup() {
  set +e
  stop_process "$client_pid" # first: alive, it would start the unit again
  systemctl --user stop "$unit" >/dev/null 2>&1
  for pid in "$server_pid" "$trayer_pid" "$xvfb_pid"; do stop_process "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT

# Each start leaves a line in $starts, so the client's resets show: two starts a burst.
starts="$work/starts"
printf 'echo >>"%s"\nexit 1\n' "$starts" >"$work/crash.sh"
mkdir -p "$XDG_RUNTIME_DIR/systemd/user"
printf '[Unit]\nStartLimitBurst=2\nStartLimitIntervalSec=3600\n[Service]\nExecStart=/bin/sh "%s"\nRestart=always\nRestartSec=0\n' \
  "$work/crash.sh" >"$XDG_RUNTIME_DIR/systemd/user/$unit"
systemctl --user daemon-reload
started() { [ -f "$starts" ] && wc -l <"$starts" || echo 0; }

start_x_session 800 600
/usr/bin/python3 "$here/notifications.py" "$DBUS_SESSION_BUS_ADDRESS" "$work/ready" "$work/notifications" \
  >"$work/server.log" 2>&1 &
server_pid=$!
server_ready() { kill -0 "$server_pid" 2>/dev/null || fail "$(cat "$work/server.log")"; test -s "$work/ready"; }
wait_for 20 "the notification service and the watcher to own their names" server_ready

env -u QT_QPA_PLATFORMTHEME -u WAYLAND_DISPLAY -u QUERN_ZOVA_LAUNCHCTL HOME="$home" \
  QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_ALL=C.UTF-8 "$client" >"$work/client.log" 2>&1 &
client_pid=$!

# The client's start, a burst, its first reset 5 s later, a burst, then the hold: about 6 s.
notified() { kill -0 "$client_pid" 2>/dev/null || fail "the client exited"; [ -s "$work/notifications" ]; }
wait_for 60 "a notification" notified
# The hold lasts 5 s, the next reset's burst ends in another hold of 10 s, in the same episode, and
# the third reset follows it: by its first start the client has been through that second hold.
reset_again() { kill -0 "$client_pid" 2>/dev/null || fail "the client exited"; [ "$(started)" -ge 7 ]; }
wait_for 200 "the third reset" reset_again
# A call answered after any notification the bus had already handed the service.
busctl --user call org.freedesktop.Notifications /org/freedesktop/Notifications org.freedesktop.Notifications \
  GetServerInformation >/dev/null || fail "the notification service did not answer"

count=$(wc -l <"$work/notifications")
[ "$count" -eq 1 ] || fail "$count notifications for one episode, not one"
IFS=$'\t' read -r summary body <"$work/notifications"
[ "$summary" = "Quern Zova" ] || fail "the notification's title is \"$summary\""
[[ $body =~ ^代理反复退出，将于\ ([01][0-9]|2[0-3]):[0-5][0-9]\ 自动重试$ ]] || fail "the notification says \"$body\""
kill -0 "$client_pid" 2>/dev/null || fail "the client exited"
echo "notification: one notification for the episode: $body; $(started) starts"
