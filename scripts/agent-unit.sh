#!/usr/bin/env bash
# Prints a systemd user unit that runs PROGRAM [ARGUMENT...] as the agent, with HOME set to the
# given folder (the agent writes HOME/.quern-web-bridge/health.json), to standard output. Install it
# as $XDG_RUNTIME_DIR/systemd/user/<quern_service_unit> (bin/agent-identity.sh names it), then
# `systemctl --user daemon-reload`. No Restart= unless --restart: bringing it back is the client's job.
#
# usage: scripts/agent-unit.sh [--restart] HOME PROGRAM [ARGUMENT...]
set -euo pipefail
restart=""
if [ "${1:-}" = --restart ]; then
  restart=always
  shift
fi
[ $# -ge 2 ] || { echo "usage: $0 [--restart] HOME PROGRAM [ARGUMENT...]" >&2; exit 2; }
home=$1
shift
case $1 in
  /*) ;;
  *) echo "$0: PROGRAM must be an absolute path, not \"$1\"" >&2; exit 2 ;;
esac
# quote TEXT: one double-quoted word as systemd reads it. Inside quotes \ and " are escaped, % starts
# a specifier (%% is one %) and, in ExecStart=, $ a variable ($$ is one $). No newlines in a word.
quote() {
  local text=$1
  case $text in *$'\n'*) echo "$0: a newline in \"$text\" cannot go into a unit file" >&2; exit 2 ;; esac
  text=${text//\\/\\\\}
  text=${text//\"/\\\"}
  text=${text//%/%%}
  printf '"%s"' "$text"
}
command_line=""
for argument in "$@"; do
  command_line+="${command_line:+ }$(quote "$argument")"
done
printf '%s\n' '[Unit]' 'Description=Quern Zova bridge agent' '' '[Service]' \
  "ExecStart=${command_line//\$/\$\$}" "Environment=$(quote "HOME=$home")"
[ -z "$restart" ] || printf '%s\n' "Restart=$restart" 'RestartSec=1'
