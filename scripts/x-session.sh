# Sourced by the scripts that run the client on a private X display with trayer as its tray host.
# The caller defines `fail MESSAGE` (which exits) and sets `work` (a private folder) and `logs`
# (where the servers' logs go).

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds, failing at the deadline.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$(($(now_ms) + seconds * 1000))
  until "$@"; do
    [ "$(now_ms)" -lt "$deadline" ] || fail "hung: waited ${seconds}s for $what"
    sleep 0.1
  done
}

# TERM, then KILL if it lingers past five seconds; only ever a pid the script started.
stop_process() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Window queries on the private display.
window_pid() { xprop -id "$1" _NET_WM_PID 2>/dev/null | awk '/= /{print $3}'; }
is_override_redirect() { xwininfo -id "$1" | grep -q 'Override Redirect State: yes'; }
is_viewable() { xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; }
geometry_field() { xwininfo -id "$1" | awk -v key="$2:" '$1 " " $2 " " $3 == key || $1 == key {print $NF}'; }

# close_window ID: what a window manager sends when the close button is clicked (WM_DELETE_WINDOW);
# Debian's python3 has python3-xlib (scripts/install-deps.sh). sync(), not flush(): it returns once
# the server has processed the request, so a loaded server cannot lose it with the closed connection.
# (xdotool needs nothing of the kind: it closes its display with XCloseDisplay, which syncs.)
close_window() {
  /usr/bin/python3 - "$1" <<'EOF_PY'
import sys
from Xlib import X, display, protocol
d = display.Display()
w = d.create_resource_object("window", int(sys.argv[1], 0))
atom = d.intern_atom
w.send_event(protocol.event.ClientMessage(window=w, client_type=atom("WM_PROTOCOLS"),
                                          data=(32, [atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
d.sync()
d.close()
EOF_PY
}

xvfb_pid=""
trayer_pid=""

# start_x_session WIDTH HEIGHT: Xvfb on a free display with a private cookie, no window manager,
# and trayer docked top right. Sets DISPLAY, XAUTHORITY, xvfb_pid and trayer_pid.
start_x_session() {
  local width=$1 height=$2 cookie
  cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
  export XAUTHORITY="$work/client.xauth"
  : >"$work/server.xauth"
  : >"$XAUTHORITY"
  # The server accepts every cookie in its file whatever display the entry names.
  xauth -q -f "$work/server.xauth" add :0 MIT-MAGIC-COOKIE-1 "$cookie"
  # -displayfd: the server takes the first free display number itself and reports it once ready.
  Xvfb -displayfd 3 -auth "$work/server.xauth" -nolisten tcp -wr -screen 0 "${width}x${height}x24" \
    3>"$work/display" >"$logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  display_reported() {
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb exited; see $logs/xvfb.log"
    grep -q '^[0-9][0-9]*$' "$work/display" 2>/dev/null
  }
  wait_for 20 "Xvfb to report its display number" display_reported
  DISPLAY=":$(cat "$work/display")"
  export DISPLAY
  xauth -q add "$DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie"
  xwininfo -root >/dev/null 2>&1 || fail "cannot connect to Xvfb on $DISPLAY"

  # trayer now and then dies before it maps its panel on a busy machine: one more try then.
  trayer_mapped() { xwininfo -root -tree | grep -q '("panel" "trayer")'; }
  local attempt
  for attempt in 1 2; do
    trayer --edge top --align right --widthtype request --height 24 --transparent false \
      >>"$logs/trayer.log" 2>&1 &
    trayer_pid=$!
    local deadline=$(($(now_ms) + 10000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
      trayer_mapped && return 0
      kill -0 "$trayer_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_process "$trayer_pid"
    trayer_pid=""
  done
  fail "trayer never mapped its panel (attempt $attempt); see $logs/trayer.log"
}
