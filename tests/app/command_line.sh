#!/usr/bin/env bash
# The command line: --help and --version print and exit 0, a wrong argument exits 2 with one line
# on standard error naming it. None of them starts anything: no connection reaches the listener at
# the session bus's address, nothing appears in the runtime directory, nothing is said of a display.
#
# usage: command_line.sh CLIENT VERSION
set -euo pipefail
client=$1 version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-command-line.XXXXXX")
fail() { echo "command_line: FAIL: $*" >&2; exit 1; }
# shellcheck source=../../scripts/x-session.sh
. "$(dirname "$0")/../../scripts/x-session.sh"
listener=""
trap 'stop_process "$listener"; rm -rf "$work"' EXIT

/usr/bin/python3 "$(dirname "$0")/../support/silent_bus_listener.py" "$work/bus" "$work/connections" &
listener=$!
wait_for 20 "the listener" test -S "$work/bus"
mkdir -m 700 "$work/runtime"

# run STATUS ARGS...: the client exits with STATUS and leaves the runtime directory empty; its
# streams are in $work/out and $work/err.
run() {
  local expected=$1 status=0
  shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QUERN_ZOVA_LAUNCHCTL HOME="$work" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" XDG_RUNTIME_DIR="$work/runtime" \
    timeout 60 "$client" "$@" >"$work/out" 2>"$work/err" || status=$?
  { [ "$status" = "$expected" ] && [ -z "$(ls -A "$work/runtime")" ]; } ||
    fail "$*: exit $status, $(ls -A "$work/runtime") in the runtime directory, stderr: $(cat "$work/err")"
}
for help in --help -h; do
  run 0 "$help"
  { grep -q '^Usage: quern-zova \[options\]$' "$work/out" && grep -q -- --version "$work/out" &&
    ! grep -q 'restarted\|platform' "$work/out" && [ ! -s "$work/err" ]; } || fail "$help: $(cat "$work/out" "$work/err")"
done
for option in --version -v "-platform offscreen --version"; do
  # shellcheck disable=SC2086 # the last one is two words
  run 0 $option
  { [ "$(cat "$work/out")" = "quern-zova $version" ] && [ ! -s "$work/err" ]; } ||
    fail "$option: $(cat "$work/out" "$work/err")"
done
for wrong in --frobnicate stray -platform --restarted-with-window=sideways; do
  run 2 "$wrong"
  named=${wrong%%=*}
  { [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] &&
    grep -q "^quern-zova: .*${named#--}.*; see --help$" "$work/err"; } || fail "$wrong: $(cat "$work/out" "$work/err")"
done

# A probe connects last: once the listener has counted it, it has counted any the client made.
/usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$work/bus"
wait_for 60 "the listener to count the probe" test -s "$work/connections"
[ "$(wc -l <"$work/connections")" = 1 ] || fail "the client connected to the session bus"
echo "command_line: ok"
