#!/usr/bin/env bash
# The command line: --help and --version print and exit 0, a wrong argument exits 2 with one line
# on standard error, and none of them starts anything: no connection reaches the listener at the
# session bus's address, nothing appears in the runtime directory, nothing says it looked for a
# display.
#
# usage: command_line.sh CLIENT VERSION
set -euo pipefail
client=$1 version=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/quern-command-line.XXXXXX")
listener=""
trap 'kill "$listener" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "command_line: FAIL: $*" >&2; exit 1; }

# Takes every connection, says nothing, and writes a line for each.
/usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen(64)
held = []
while True:
    held.append(s.accept()[0])
    with open(sys.argv[2], "a") as log: log.write("connection\n")' "$work/bus" "$work/connections" &
listener=$!
mkdir -m 700 "$work/runtime"

# run EXPECTED_STATUS ARGS...: the client's streams in $work/out and $work/err.
run() {
  local expected=$1 status=0
  shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u QUERN_ZOVA_LAUNCHCTL HOME="$work" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus" XDG_RUNTIME_DIR="$work/runtime" \
    timeout 60 "$client" "$@" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = "$expected" ] || fail "$* exited $status, not $expected; stderr: $(cat "$work/err")"
  [ -z "$(ls -A "$work/runtime")" ] || fail "$* left $(ls -A "$work/runtime") in the runtime directory"
}
for help in --help -h; do
  run 0 "$help"
  grep -q '^Usage: quern-zova \[options\]$' "$work/out" || fail "$help printed: $(cat "$work/out")"
  grep -q -- '--version' "$work/out" || fail "$help does not list --version"
  ! grep -q -- 'restarted\|platform' "$work/out" || fail "$help lists an internal or a Qt option"
  [ ! -s "$work/err" ] || fail "$help wrote to stderr: $(cat "$work/err")"
done
for option in --version -v "-platform offscreen --version"; do
  # shellcheck disable=SC2086 # the last one is two words
  run 0 $option
  [ "$(cat "$work/out")" = "quern-zova $version" ] || fail "$option printed: $(cat "$work/out")"
  [ ! -s "$work/err" ] || fail "$option wrote to stderr: $(cat "$work/err")"
done
for wrong in --frobnicate stray -platform "--restarted-with-window=sideways"; do
  run 2 "$wrong"
  [ ! -s "$work/out" ] || fail "$wrong printed to stdout: $(cat "$work/out")"
  named=${wrong%%=*}
  { [ "$(wc -l <"$work/err")" = 1 ] && grep -q "^quern-zova: .*${named#--}.*; see --help$" "$work/err"; } ||
    fail "$wrong: stderr is not one usage line naming it: $(cat "$work/err")"
done

# A probe connects last: once the listener has counted it, it has counted any the client made.
/usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$work/bus"
deadline=$(($(date +%s) + 60))
until [ -s "$work/connections" ]; do
  [ "$(date +%s)" -lt "$deadline" ] || fail "hung: the listener never counted the probe"
  sleep 0.1
done
[ "$(wc -l <"$work/connections")" = 1 ] || fail "the client connected to the session bus"
echo "command_line: ok"
