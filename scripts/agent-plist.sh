#!/usr/bin/env bash
# Prints the stand-in agent's property list, as launchd reads it, to standard output.
# usage: scripts/agent-plist.sh KEEPALIVE(true|false) PROGRAM [ARGUMENT...]
# The label comes from the build: $QUERN_AGENT_IDENTITY, else build/default/bin/agent-identity.sh.
set -euo pipefail
[ $# -ge 2 ] && { [ "$1" = true ] || [ "$1" = false ]; } || {
  echo "usage: $0 true|false PROGRAM [ARGUMENT...]" >&2
  exit 2
}
root="$(cd "$(dirname "$0")/.." && pwd)"
identity="${QUERN_AGENT_IDENTITY:-$root/build/default/bin/agent-identity.sh}"
[ -r "$identity" ] || { echo "$0: no $identity (build first)" >&2; exit 1; }
# shellcheck source=agent-identity.sh.in
. "$identity"
label=$quern_service_label
keep_alive=$1
shift
escape() { # paths may hold &, < or >
  local text=${1//&/&amp;}
  text=${text//</&lt;}
  printf '%s' "${text//>/&gt;}"
}
printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' \
  '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">' \
  '<plist version="1.0">' '<dict>' '	<key>Label</key>' "	<string>$label</string>" \
  '	<key>ProgramArguments</key>' '	<array>'
for argument in "$@"; do
  printf '		<string>%s</string>\n' "$(escape "$argument")"
done
printf '%s\n' '	</array>' '	<key>KeepAlive</key>' "	<$keep_alive/>" '</dict>' '</plist>'
