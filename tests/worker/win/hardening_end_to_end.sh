#!/usr/bin/env bash
# The Windows worker under attack, end to end under Wine: a pipe squatter
# that got there first, a second client while one is served, a second
# worker, things planted where the log goes, keys left down by a client when
# the worker is killed or stopped by a console control event.
# usage: hardening_end_to_end.sh WORKER CLIENT TEST_WINDOW PEER   (HALVORINE_WINE_STATE set)
set -uo pipefail
worker=$1 client=$2 window=$3 peer=$4
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

work=$(mktemp -d /tmp/halvorine-hardening.XXXXXX)
data=$WINEPREFIX/drive_c/ProgramData
log=$data/Halvorine/halvorine-worker.log
recorded=$work/recorded
failures=0 passed=0
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work" "$data"/Halvorine.refuzat-* "$data"/Halvorine/*.refuzat-* "$data/Halvorine/halvorine-worker.log.1"
}
trap cleanup EXIT

check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}
messages() { sed 's/^\[[^]]*\] \[[^]]*\] //' "$log" 2>/dev/null | tr -d '\r'; }
count() { messages | grep -cxF -- "$1"; }
# Waits (at most 20 s) until the log holds LINE at least N times.
wait_line() {
  local line=$1 times=${2:-1}
  for _ in $(seq 1 200); do [ "$(count "$line")" -ge "$times" ] && return 0; sleep 0.1; done
  echo "missing ($times×): $line" >&2
  return 1
}
# Waits (at most 10 s) until the test window has recorded a line matching PATTERN after line START.
wait_window() {
  local start=$1 pattern=$2
  for _ in $(seq 1 100); do tail -n +"$((start + 1))" "$recorded" | grep -qE -- "$pattern" && return 0; sleep 0.1; done
  echo "the window saw no: $pattern" >&2
  return 1
}
window_lines() { wc -l <"$recorded"; }
# The worker under Wine is not the SYSTEM worker the client checks for.
send() { wine "$client" input --no-server-check --retry-ms 20000 "$@" 2>>"$work/client.err"; }
start_worker() {  # sets $worker_pid (the Unix process of the Windows worker)
  wine "$worker" >>"$work/worker.out" 2>&1 &
  worker_pid=$!
  pids+=("$worker_pid")
}

wine "$window" "$(winepath -w "$recorded")" 240 >"$work/window.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$recorded" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$recorded" || { echo "FAILED: the test window did not start"; exit 1; }

# --- a file where the log folder goes, a squatter on the input pipe ------------
rm -rf "$data"/Halvorine*
echo planted >"$data/Halvorine"
wine "$peer" squat halvorine-input "$(winepath -w "$work/squat.end")" >"$work/squat.out" 2>&1 &
squatter=$!
pids+=("$squatter")
for _ in $(seq 1 200); do grep -q squatting "$work/squat.out" && break; sleep 0.1; done
start_worker
first=$worker_pid
check "the worker notices the squatter" wait_line 'pipe: \\.\pipe\halvorine-input deja creat de alt proces - reincerc'
sleep 5  # two more tries
touch "$work/squat.end"
check "the planted file is moved aside" test -f "$(echo "$data"/Halvorine.refuzat-*)"
check "and the log goes on in a folder of its own" test -d "$data/Halvorine" -a -f "$log"
check "which says what was moved" grep -qE \
  '\] log: C:\\ProgramData\\Halvorine -> C:\\ProgramData\\Halvorine\.refuzat-[0-9]{14} mutat deoparte \(nu era al worker-ului\)' "$log"
wait "$squatter"
check "it serves once the squatter is gone" wait_line "waiting for client"
check "having said so once in the squatter's time" test "$(count 'pipe: \\.\pipe\halvorine-input deja creat de alt proces - reincerc')" -eq 1
start=$(window_lines)
send "key KeyA down" "key KeyA up"
check "its client's key arrives" wait_window "$start" '^key down 0x41 '

# --- a second client while one is served: it waits and is served next ---------
start=$(window_lines)
connected=$(count "client connected")
send --hold-ms 2500 "key KeyB down" "key KeyB up" &
holder=$!
wait_line "client connected" $((connected + 1)) >/dev/null
send "key KeyC down" "key KeyC up"
check "the second client gets in (exit 0)" test $? -eq 0
check "and is not read beside the first" test "$(tail -n +"$((start + 1))" "$recorded" | grep -c '0x43')" -eq 0
wait "$holder"
check "it is served after the first left" wait_window "$start" '^key up 0x43 '
check "in that order" test "$(tail -n +"$((start + 1))" "$recorded" | grep -E '^key (down|up) 0x4[23] ' | tr '\n' ' ')" = \
  "key down 0x42 0 0x00 key up 0x42 0 0x00 key down 0x43 0 0x00 key up 0x43 0 0x00 "

# --- a second worker serves nothing until the first is gone --------------------
waiting=$(count "waiting for client")
start_worker
second=$worker_pid
refused='CreateNamedPipe failed: another worker is serving halvorine-input (it holds Global\halvorine-worker)'
check "the second worker is refused the input pipe" wait_line "$refused"
check "and the video pipe" wait_line \
  'secure-stream: CreateNamedPipe esuat: another worker is serving halvorine-secure-video (it holds Global\halvorine-worker)'
sleep 5  # two more retries
check "said once a minute, not every retry" test "$(count "$refused")" -eq 1
check "and it serves nothing" test "$(count "waiting for client")" -eq "$waiting"
kill -KILL "$first"
check "once the first is gone the second serves" wait_line "waiting for client" $((waiting + 1))
start=$(window_lines)
send "key KeyD down" "key KeyD up"
check "its client's key arrives" wait_window "$start" '^key down 0x44 '

# --- killed while a client holds Shift and the left button ---------------------
start=$(window_lines)
send --hold-ms 60000 "mouse 16384 16384" "key ShiftLeft down" "mouse 16384 16384 button=1 down" &
holder=$!
pids+=("$holder")
check "Shift is down" wait_window "$start" '^key down 0x10 '
check "the left button too" wait_window "$start" '^button left down '
start=$(window_lines)
kill -KILL "$second"
kill "$holder" 2>/dev/null
sleep 2
check "a killed worker releases nothing: the window never sees Shift come up" \
  test "$(tail -n +"$((start + 1))" "$recorded" | grep -c '^key up 0x10 ')" -eq 0
# Wine itself clears the desktop's key state when the injecting process dies
# (GetAsyncKeyState reports nothing down), while Windows keeps it; so what a
# next worker finds down at start is left here by an injector that lives on.
wine "$peer" press 30 >"$work/press.out" 2>&1 &
presser=$!
pids+=("$presser")
for _ in $(seq 1 200); do grep -q pressed "$work/press.out" && break; sleep 0.1; done
start=$(window_lines)
start_worker
third=$worker_pid
check "the next worker releases Shift and the button at start" \
  wait_line "inject: eliberez 2 taste/butoane ramase apasate la pornire"
check "Shift comes up" wait_window "$start" '^key up 0x10 '
check "the button too" wait_window "$start" '^button left up '
kill "$presser" 2>/dev/null

# --- a console control event: what the client holds is released, then the worker ends
wait_line "waiting for client" $((waiting + 2)) >/dev/null
start=$(window_lines)
send --hold-ms 60000 "key ControlLeft down" &
holder=$!
pids+=("$holder")
check "Control is down" wait_window "$start" '^key down 0x11 '
# Wine turns SIGINT into Ctrl+C for a console program (it cannot close a
# console on demand); every console control event takes the same path.
kill -INT "$third"
check "Control comes up" wait_window "$start" '^key up 0x11 '
check "the worker says what it released" wait_line "releasing held input: 1 key(s), 0 button(s)"
check "and exits" wait_line "worker exiting"
wait "$third"
check "with status 0" test $? -eq 0
kill "$holder" 2>/dev/null

# --- a folder where the rotated log goes: moved aside, rotation goes on --------
mkdir "$data/Halvorine/halvorine-worker.log.1"
truncate -s 16M "$log"
start_worker
for _ in $(seq 1 200); do [ -f "$data/Halvorine/halvorine-worker.log.1" ] && break; sleep 0.1; done
check "the full log is rotated" test -f "$data/Halvorine/halvorine-worker.log.1" -a \
  "$(stat -c %s "$data/Halvorine/halvorine-worker.log.1" 2>/dev/null || echo 0)" -ge 16777216
check "the worker logs on" wait_line "worker starting"
check "the folder in its way moved aside" test -d "$(echo "$data"/Halvorine/halvorine-worker.log.1.refuzat-*)"
check "the new log is small" test "$(stat -c %s "$log")" -lt 65536
check "and says what was moved" grep -qE 'log: .*halvorine-worker\.log\.1 -> .*halvorine-worker\.log\.1\.refuzat-[0-9]{14} mutat deoparte' "$log"
kill -INT "$worker_pid"
wait "$worker_pid"

echo "hardening end to end: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
