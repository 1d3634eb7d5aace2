#!/usr/bin/env bash
# The demo: builds everything, then starts the simulated alarm receiver (on a pseudo-terminal
# mapped as COM1), the simulated V7 and V8 servers and the driver in run/, with settings written
# to run/drvnt417.ini at every start. Every line on the console begins with the name of the
# program that printed it; the whole output of each program is also kept in run/NAME.out (the V8
# server's polls, twice a second, only there).
#
# The receiver sends rounds of events two seconds apart, each round followed by a silence longer
# than Attention, so the V7 server sees the receiver lost ("status-lost") and back
# ("status-restored"). With a terminal, lines typed here go to the V7 server: "time", "close"
# (ends the driver without the password) or "drop". Without a display the driver runs without a
# window, with the same console output. Ctrl-C stops everything in order.
#
# The demo runs the Release build that is installed (./test.sh builds with the sanitizers in
# build/). DRVNT_BUILD_DIR chooses its build directory (default: build-release).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
build=${DRVNT_BUILD_DIR:-build-release}
case $build in /*) ;; *) build=$root/$build ;; esac
run=$root/run

./scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRVNT_SANITIZE=OFF \
  -DDRVNT_BUILD_TESTS=OFF -DDRVNT_BUILD_BENCH=OFF >/dev/null
cmake --build "$build"

attention_s=6
mkdir -p "$run/spool"
# The lines of the last run must not answer this run's questions (the V8 server's port).
rm -f "$run/receiver" "$run"/*.out

# ---- Processes: started by pid in sessions of their own, so that Ctrl-C reaches this script
# ---- alone and the stop below keeps its order.

pids=()

# Copies standard input to run/NAME.out and to the console with NAME in front of each line. It
# ignores Ctrl-C, so that it prints what its program says while stopping.
prefix() {
  local name=$1 filter=${2:-^$}
  trap '' INT TERM
  tee "$run/$name.out" | grep --line-buffered -v -e "$filter" |
    sed -u "s/^/$(printf '%-10s' "$name")| /"
}

# start NAME FILTER INPUT COMMAND...: FILTER is a pattern of lines kept off the console.
start() {
  local name=$1 filter=$2 input=$3
  shift 3
  setsid "$@" <"$input" > >(prefix "$name" "$filter") 2>&1 &
  pids+=($!)
}

stop_one() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

stopping=0
stop_all() {
  ((stopping)) && return
  stopping=1
  trap '' INT TERM
  echo "run.sh    | stopping"
  # The driver first, so that it sees its servers to the end; then the peers, newest first.
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop_one "${pids[i]}"
  done
  wait 2>/dev/null || true
  echo "run.sh    | stopped; spool files left in run/spool: $(ls "$run/spool" | wc -l)"
}
trap 'stop_all; exit 0' INT TERM
trap 'stop_all' EXIT

# Waits until FILE has a line matching PATTERN and prints it; gives up after 10 s.
line_of() {
  local file=$1 pattern=$2 i
  for ((i = 0; i < 100; i++)); do
    if grep -m1 -e "$pattern" "$file" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "run.sh: no \"$pattern\" in $file" >&2
  return 1
}

# ---- The servers ------------------------------------------------------------------------------

v7_input=/dev/null
[ -t 0 ] && v7_input=/dev/stdin
# On loopback addresses of their own: a real V7 server of this machine keeps 127.0.0.1:7788.
v7_address=127.0.0.2
v8_address=127.0.0.3
start v8-server '^\(recv\|sent\) .*type=poll ' /dev/null "$build/tools/v8-server-sim" \
  --bind "$v8_address" --port 0
start v7-server '^$' "$v7_input" "$build/tools/v7-server-sim" --bind "$v7_address"
v8_port=$(line_of "$run/v8-server.out" '^listen ' | sed 's/.* port=//')
line_of "$run/v7-server.out" '^listen ' >/dev/null

# ---- The receiver -----------------------------------------------------------------------------

# Rounds of alarms, restores, openings, closings, troubles and tests, a frame of another kind and
# a frame cut in two by the line; after each round a silence past Attention.
{
  for round in 1 2 3 4; do
    echo "# round $round"
    for item in "event 0123 E 130 01 015" "event 0123 R 130 01 015" "event 0456 E 401 02 003" \
      "heartbeat" "event 0456 R 401 02 003" "cut 0789 E 110 01 004 12" \
      "event 1234 E 300 00 020" "event 0042 E 602 00 000"; do
      echo "$item"
      echo "wait 2000"
    done
    echo "wait $(((attention_s + 6) * 1000))"
  done
} >"$run/demo-scenario.txt"

start receiver '^$' /dev/null "$build/tools/receiver-sim" --pty --pty-link "$run/receiver" \
  --wait-open --start-delay 300 --scenario "$run/demo-scenario.txt" --hold
line_of "$run/receiver.out" '^pty=' >/dev/null

# ---- The driver -------------------------------------------------------------------------------

cat >"$run/drvnt417.ini" <<EOF
; Demo settings, written by run.sh at every start (the full sample: config/drvnt417.ini).
[main]
ComPort=COM1
FirstNumber=4
PathForSoob=spool/
host=$v7_address
Attention=$(printf '0:%02d:%02d' $((attention_s / 60)) $((attention_s % 60)))
Log=1
SendV7=1
SendV8=1

[ComPorts]
COM1=$run/receiver

[ServerHost]
Address=$v8_address
Port=$v8_port
EOF

if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$run/xdg-runtime
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
echo "run.sh    | driver in run/ (V8 server on $v8_address:$v8_port, V7 on $v7_address:7788); Ctrl-C stops all"
cd "$run"
start drvnt417 '^$' /dev/null "$build/drvnt417"
cd "$root"
# Until the driver ends: by Ctrl-C, or by the V7 server's close command.
wait "${pids[-1]}" || true
