# Sourced by the whole-program tests, which run under scripts/user-manager.sh, after they set $name:
#   . agent-session.sh CLIENT AGENT
# Skips (77) where there is no private manager, makes the programs' paths absolute, names the unit
# (client, agent, unit, scripts), and installs the demo agent as that unit with install_agent_unit.
if [ -n "${QUERN_NO_USER_MANAGER:-}" ]; then
  echo "$name: skipped: no private systemd user manager ($QUERN_NO_USER_MANAGER)"
  exit 77
fi
for program in "$1" "$2"; do
  [ -x "$program" ] && [ -f "$program" ] || { echo "$name: $program is not an executable" >&2; exit 2; }
done
client=$(realpath -- "$1")
agent=$(realpath -- "$2") # it goes into a unit file
scripts="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)"
# The unit's name as the build beside the client has it.
export QUERN_AGENT_IDENTITY="$(dirname "$client")/agent-identity.sh"
# shellcheck source=../../scripts/agent-identity.sh.in
. "$QUERN_AGENT_IDENTITY"
unit=$quern_service_unit

unit_state() { systemctl --user is-active "$unit" 2>/dev/null || true; }
# install_agent_unit HOME: the agent writes HOME/.quern-web-bridge; the unit starts inactive, for
# starting it is the client's job. Uses the test's fail.
install_agent_unit() {
  mkdir -p "$XDG_RUNTIME_DIR/systemd/user"
  "$scripts/agent-unit.sh" "$1" "$agent" >"$XDG_RUNTIME_DIR/systemd/user/$unit"
  systemctl --user daemon-reload
  [ "$(unit_state)" = inactive ] || fail "the unit is $(unit_state) before the client started, not inactive"
}
