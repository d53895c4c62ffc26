#!/usr/bin/env bash
# Runs a command beside a private systemd user manager: PID, mount and cgroup namespaces of its own,
# a session bus of its own and `systemd --user` answering on it; all of it ends with the command.
# The one place where the tests and the demo get a service manager on machines without a user
# session of their own (containers, CI).
#
# usage: user-manager.sh [--no-manager] COMMAND [ARGS...]
#   --no-manager  only the namespaces and the bus; the command starts the manager when it likes
#                 with "$QUERN_START_USER_MANAGER", which prints the manager's pid once it answers.
# The command gets XDG_RUNTIME_DIR (units go into $XDG_RUNTIME_DIR/systemd/user), XDG_CONFIG_HOME
# and DBUS_SESSION_BUS_ADDRESS, and exits with its own status. Where no private manager can be made
# (no root, no unshare, no systemd) it fails under CI=true; elsewhere it says so in one line and
# runs the command with QUERN_NO_USER_MANAGER set to the reason, for the command to skip.
set -uo pipefail
self="$(cd "$(dirname "$0")" && pwd)/$(basename "$0")"
systemd_binary=/lib/systemd/systemd

# Inside the namespaces, as their PID 1: the private mounts, the bus, the manager, the command.
if [ "${1:-}" = "--inside" ]; then
  shift
  work=$1 start=$2
  shift 2
  set -e
  mount -t tmpfs tmpfs /run
  mkdir -p /run/systemd/system # what makes systemd believe it runs on a systemd machine
  # Rooted at the cgroups made for this run: the units of two managers never meet.
  mount -t tmpfs tmpfs /sys/fs/cgroup
  mkdir /sys/fs/cgroup/systemd /sys/fs/cgroup/unified
  mount -t cgroup -o none,name=systemd cgroup /sys/fs/cgroup/systemd
  mount -t cgroup2 cgroup2 /sys/fs/cgroup/unified
  export XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
  export QUERN_START_USER_MANAGER="$self --start"
  units="$XDG_CONFIG_HOME/systemd/user"
  mkdir -p "$units/default.target.wants" "$XDG_RUNTIME_DIR/systemd/user"
  # The bus is ours and outlives the manager; systemd's own bus units would take its socket over.
  # These stand-ins only tell the manager that a bus is up, so that it joins ours.
  printf '[Socket]\nListenStream=%%t/systemd-bus-placeholder\n' >"$units/dbus.socket"
  printf '[Service]\nExecStart=/bin/sleep infinity\n' >"$units/dbus.service"
  ln -s "$units/dbus.service" "$units/default.target.wants/dbus.service"
  dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --nopidfile
  [ "$start" = no ] || "$self" --start >/dev/null
  set +e
  "$@"
  status=$?
  exit "$status"
fi

# Inside, on request: starts the manager and prints its pid once it answers on the bus.
if [ "${1:-}" = "--start" ]; then
  "$systemd_binary" --user >>"$XDG_RUNTIME_DIR/user-manager.log" 2>&1 </dev/null &
  pid=$!
  for _ in $(seq 600); do # a hang guard of 60 s; it answers in about 0.3 s
    if busctl --user status org.freedesktop.systemd1 >/dev/null 2>&1; then
      echo "$pid"
      exit 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "user-manager.sh: systemd --user did not come up; its log:" >&2
  cat "$XDG_RUNTIME_DIR/user-manager.log" >&2
  exit 1
fi

start=yes
if [ "${1:-}" = "--no-manager" ]; then
  start=no
  shift
fi
[ $# -gt 0 ] || { echo "usage: $0 [--no-manager] COMMAND [ARGS...]" >&2; exit 2; }

cannot() {
  if [ "${CI:-}" = "true" ]; then
    echo "user-manager.sh: no private systemd user manager: $1" >&2
    exit 1
  fi
  echo "user-manager.sh: no private systemd user manager ($1); tests that need one are skipped" >&2
  QUERN_NO_USER_MANAGER="$1" exec "$@"
}
[ "$(id -u)" -eq 0 ] || cannot "it needs root for its namespaces"
for tool in unshare dbus-daemon busctl "$systemd_binary"; do
  command -v "$tool" >/dev/null || cannot "$tool is missing"
done
[ -d /sys/fs/cgroup/systemd ] && [ -d /sys/fs/cgroup/unified ] || cannot "no name=systemd and unified cgroup hierarchies"

# A cgroup of our own in both hierarchies, below the one we are in, so that the namespace is rooted
# there; we move back and remove it when the command is done.
cgroup_of() { sed -n "s/^$1://p" /proc/self/cgroup; }
home_v1=$(cgroup_of '[0-9]*:name=systemd')
home_v2=$(cgroup_of '0:')
name="quern-user-manager-$$-$RANDOM"
v1="/sys/fs/cgroup/systemd${home_v1%/}/$name"
v2="/sys/fs/cgroup/unified${home_v2%/}/$name"
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-user-manager.XXXXXX")
mkdir -m 700 "$work/runtime" && mkdir "$work/config" || cannot "no temporary folder"
mkdir "$v1" "$v2" 2>/dev/null && echo $$ >"$v1/cgroup.procs" && echo $$ >"$v2/cgroup.procs" \
  || { rmdir "$v1" "$v2" 2>/dev/null; rm -rf "$work"; cannot "no cgroup of its own"; }

unshare --pid --fork --kill-child --mount --mount-proc --cgroup "$self" --inside "$work" "$start" "$@"
status=$?

echo $$ >"/sys/fs/cgroup/systemd$home_v1/cgroup.procs"
echo $$ >"/sys/fs/cgroup/unified$home_v2/cgroup.procs"
# The namespace's processes are gone with its init, but their cgroups empty a moment later.
for _ in $(seq 100); do
  find "$v1" "$v2" -depth -type d -exec rmdir {} + 2>/dev/null
  [ -d "$v1" ] || [ -d "$v2" ] || break
  sleep 0.1
done
rm -rf "$work"
exit "$status"
