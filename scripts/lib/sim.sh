# Starts and stops a simulated device: qdm7-sim, or a test's own stand-in,
# any program that prints "READY <port>" once it serves. Source this file.
#
#   sim_start LOG PROGRAM [ARGS...]
#       Starts the program (standard output and error to LOG, no input) and
#       waits up to $sim_start_seconds (10) for its READY line. Sets sim_pid
#       and sim_port. If the program ends first or stays silent, says so with
#       what it printed, ends it, and returns 1.
#   sim_stop [PID]
#       Ends the program (SIGTERM, on which qdm7-sim writes its dump and
#       STATS) and returns its exit status; without PID, the last one started.
#       Nothing to do (no PID) is success.

sim_pid=
sim_port=
sim_start_seconds=${sim_start_seconds:-10}

sim_start() {
  local log=$1 name=${2##*/} me=${0##*/} tenths=$((sim_start_seconds * 10)) status=0
  shift
  me=${me%.sh}
  : >"$log"
  "$@" >>"$log" 2>&1 </dev/null &
  sim_pid=$!
  sim_port=
  while :; do
    sim_port=$(sed -n 's/^READY //p' "$log" | head -n 1)
    [ -n "$sim_port" ] && return 0
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      wait "$sim_pid" || status=$?
      sim_pid=
      echo "$me: $name ended (exit status $status) before it was ready; it said:" >&2
      sim_said "$log"
      return 1
    fi
    [ "$tenths" -gt 0 ] || break
    tenths=$((tenths - 1))
    sleep 0.1
  done
  echo "$me: $name printed no READY line within $sim_start_seconds s; it said:" >&2
  sim_said "$log"
  sim_stop || true
  return 1
}

sim_said() {
  if [ -s "$1" ]; then sed 's/^/  /' "$1" >&2; else echo "  nothing" >&2; fi
}

sim_stop() {
  local pid=${1:-$sim_pid} status=0
  if [ "$pid" = "$sim_pid" ]; then sim_pid=; fi
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || status=$?
  return "$status"
}
