#!/usr/bin/env bash
# Runs the client against a real systemd user manager, in a demo home inside the build tree. The
# demo agent (build/default/bin/quern-bridge-agent) becomes the user unit the client looks after; it
# starts inactive, and within about 2 seconds the client starts it and it comes online.
#
# The session's own `systemd --user` when it answers on the session bus: the unit goes into its
# runtime folder ($XDG_RUNTIME_DIR/systemd/user, never into the home) and is stopped and removed at
# the end. Otherwise (containers, CI) a private manager of scripts/user-manager.sh. With no display
# the client runs on Qt's offscreen platform and prints each state it shows, for QUERN_DEMO_SECONDS
# (default 20) seconds.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build/default/bin"
if [ -z "${QUERN_DEMO_PRIVATE:-}" ]; then
  "$root/scripts/install-deps.sh"
  "$root/scripts/build.sh" default --target quern-zova quern-bridge-agent
fi
# shellcheck source=agent-identity.sh.in
. "$bin/agent-identity.sh"
unit=$quern_service_unit
demo_home="$root/build/default/demo-home"
marker="# Written by Quern Zova's scripts/demo.sh; removed when it ends."

if [ -n "${QUERN_DEMO_PRIVATE:-}" ]; then
  if [ -n "${QUERN_NO_USER_MANAGER:-}" ]; then
    echo "demo: no systemd user manager in this session, and no private one: $QUERN_NO_USER_MANAGER" >&2
    exit 1
  fi
  echo "demo: service manager: a private systemd --user of scripts/user-manager.sh (this session has none)"
elif [ -n "${XDG_RUNTIME_DIR:-}" ] && busctl --user status org.freedesktop.systemd1 >/dev/null 2>&1; then
  echo "demo: service manager: this session's systemd --user"
else
  QUERN_DEMO_PRIVATE=1 exec "$root/scripts/user-manager.sh" "$0" "$@"
fi

# A unit of that name that this script did not write is someone else's: leave it alone.
unit_file="$XDG_RUNTIME_DIR/systemd/user/$unit"
fragment=$(systemctl --user show -p FragmentPath --value "$unit" 2>/dev/null || true)
for file in "$unit_file" "$fragment"; do
  if [ -n "$file" ] && [ -e "$file" ] && ! grep -qxF "$marker" "$file"; then
    echo "demo: the manager already has $unit from $file, which the demo did not write;" \
      "it is left as it is, and the demo stops here" >&2
    exit 1
  fi
done

client=""
cleanup() {
  set +e
  # The client first: alive, it would start the unit again.
  [ -z "$client" ] || { kill "$client" 2>/dev/null; wait "$client" 2>/dev/null; }
  systemctl --user stop "$unit" 2>/dev/null
  systemctl --user reset-failed "$unit" 2>/dev/null
  rm -f "$unit_file"
  systemctl --user daemon-reload
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$demo_home" "$(dirname "$unit_file")"
{
  echo "$marker"
  "$root/scripts/agent-unit.sh" "$demo_home" "$bin/quern-bridge-agent"
} >"$unit_file"
systemctl --user daemon-reload
systemctl --user stop "$unit" 2>/dev/null || true # a demo's own leftover: start from a stopped agent
echo "demo: home $demo_home; unit $unit_file ($(systemctl --user is-active "$unit" || true))"

export HOME="$demo_home"
unset QUERN_ZOVA_LAUNCHCTL
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  seconds=${QUERN_DEMO_SECONDS:-20}
  echo "demo: no display: the client runs on Qt's offscreen platform for $seconds s; what it shows:"
  "$bin/quern-zova" &
  client=$!
  sleep "$seconds"
  echo "demo: after $seconds s the unit is $(systemctl --user is-active "$unit" || true);" \
    "health: $(cat "$demo_home/.quern-web-bridge/health.json" 2>/dev/null || echo '(none)')"
else
  echo "demo: things to try in another shell: systemctl --user kill -s KILL $unit (it is back within" \
    "seconds), systemctl --user kill -s USR1 $unit (silent: 12 s later the client reconnects it)"
  "$bin/quern-zova" &
  client=$!
  wait "$client" || true
  client=""
fi
