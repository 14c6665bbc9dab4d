#!/usr/bin/env bash
# halvorine-client against the real worker (input pipe) and the real video
# writer (video_feeder), natively or under Wine:
#   client_end_to_end.sh native WORKER CLIENT FEEDER
#   client_end_to_end.sh wine   WORKER.exe CLIENT.exe FEEDER.exe   (needs HALVORINE_WINE_STATE)
set -uo pipefail
mode=$1 worker=$2 client=$3 feeder=$4
# shellcheck source=../support/script_session.sh
. "$(dirname "$0")/../support/script_session.sh"
session_start halvorine-client-e2e
failures=0 passed=0

if [ "$mode" = wine ]; then
  # shellcheck disable=SC1091
  . "$HALVORINE_WINE_STATE/env"
  run() { wine "$@"; }
  stop_worker() { wine taskkill /F /IM "$(basename "$worker")" >/dev/null 2>&1; wait "$1" 2>/dev/null; }
  # Wine gives the worker its own C:\ProgramData.
  log_file=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
  rm -f "$log_file"
else
  run() { "$@"; }
  stop_worker() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
  export HALVORINE_PIPE_DIR=$work/pipes PROGRAMDATA=$work
  log_file=$work/Halvorine/halvorine-worker.log
fi

check() {  # check NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi
}
# Waits (bounded) until FILE holds LINE at least N times.
wait_line() {
  local file=$1 line=$2 times=${3:-1}
  for _ in $(seq 1 400); do
    [ -f "$file" ] && [ "$(grep -cxF -- "$line" <(sed 's/^\[[^]]*\] \[[^]]*\] //' "$file" | tr -d '\r'))" -ge "$times" ] && return 0
    sleep 0.05
  done
  echo "missing ($times×): $line" >&2
  return 1
}
# Under Wine the worker is neither in session 0 nor LocalSystem: the client's
# check that it talks to the privileged worker is turned off, and tested below.
server_check=()
[ "$mode" = wine ] && server_check=(--no-server-check)
client() { local what=$1; shift; run "$client" "$what" "${server_check[@]}" "$@" 2>>"$work/client.err"; }

# --- input pipe, against the worker ---
# Each client retries a busy pipe: the worker listens again only after it has
# logged the last client's departure.
if [ "$mode" = wine ]; then wine "$worker" >"$work/worker.out" 2>&1 & else "$worker" >"$work/worker.out" 2>&1 & fi
worker_pid=$!
pids+=("$worker_pid")
check "worker waits for a client" wait_line "$log_file" "waiting for client"
client input --retry-ms 20000 --connect-only
check "connect-only ends as early eof" wait_line "$log_file" "read type byte error: early eof"
check "and is followed by disconnect" wait_line "$log_file" "client disconnected"

client input --retry-ms 20000 "mouse 32768 16384 button=1 down scroll=-1" "key KeyA down"
check "mouse line" wait_line "$log_file" "MOUSE recv nx=32768 ny=16384 → inject abs_x=32768 abs_y=16384 btn=1 pressed=true scroll=-1"
check "held input released" wait_line "$log_file" "releasing held input: 1 key(s), 1 button(s)"

client input --retry-ms 20000 "hex 07"
check "unknown type" wait_line "$log_file" "unknown type byte 0x07 — closing connection"
client input --retry-ms 20000 "hex 02 01 00 41"
check "key too long" wait_line "$log_file" "key_len 65 exceeds 64 — aborting"
client input --retry-ms 20000 --chunk 1 "hex 01 80 00 40"
check "cut mouse payload" wait_line "$log_file" "read mouse payload error"

client input --retry-ms 20000 --hold-ms 1500 "key ShiftLeft down" "key ShiftLeft up" &
holder=$!
wait_line "$log_file" "client connected" 6 >/dev/null
# Windows keeps an instance listening: the second client gets in and waits its turn.
expected=5; [ "$mode" = wine ] && expected=0
client input "key KeyB down" "key KeyB up"; second=$?
check "second client busy, or waiting on Windows (exit $expected, got $second)" test "$second" -eq "$expected"
wait "$holder"
[ "$mode" = wine ] || client input --retry-ms 20000 "key KeyB down" "key KeyB up"
check "accepted after the first left" wait_line "$log_file" "client connected" 7

if [ "$mode" = wine ]; then
  run "$client" input --retry-ms 20000 "key KeyA up" 2>"$work/check.err"; untrusted=$?
  check "a server that is not the SYSTEM worker is refused (exit 6, got $untrusted)" test "$untrusted" -eq 6
  check "with a clear message" grep -q "its server is not the privileged worker" "$work/check.err"
else
  # A second worker leaves the first in charge of both pipes.
  mkdir -p "$work/second"
  PROGRAMDATA=$work/second "$worker" >"$work/second.out" 2>&1 &
  second=$!
  pids+=("$second")
  second_log=$work/second/Halvorine/halvorine-worker.log
  check "second worker refuses the input pipe" wait_line "$second_log" \
    "CreateNamedPipe failed: another worker is serving halvorine-input (it holds halvorine-input.lock)"
  check "and the video pipe" wait_line "$second_log" \
    "secure-stream: CreateNamedPipe esuat: another worker is serving halvorine-secure-video (it holds halvorine-secure-video.lock)"
  client input --retry-ms 20000 "key KeyC down" "key KeyC up"
  check "the first worker still serves (the client's check passes: it runs as root)" \
    wait_line "$log_file" "client connected" 8
  check "the second never did" test "$(grep -c 'client connected' "$second_log")" -eq 0
  kill "$second"; wait "$second" 2>/dev/null
fi

client input "key KeyA sideways"; bad=$?
check "bad message is exit 2 (got $bad)" test "$bad" -eq 2
client input --pipe-dir "$work/none" --pipe "$work/none/x" "key KeyA up"; missing=$?
if [ "$mode" = wine ]; then
  client input --pipe '\\.\pipe\halvorine-no-such-pipe' "key KeyA up"; missing=$?
fi
check "missing pipe is exit 3 (got $missing)" test "$missing" -eq 3
check "no connection ended without its disconnect line" \
  test "$(sed 's/^\[[^]]*\] \[[^]]*\] //' "$log_file" | tr -d '\r' | grep -cxF 'client connected')" -eq \
       "$(sed 's/^\[[^]]*\] \[[^]]*\] //' "$log_file" | tr -d '\r' | grep -cxF 'client disconnected')"
stop_worker "$worker_pid"
pids=()

# --- video pipe, against the real writer fed with two frames ---
if [ "$mode" = wine ]; then wine "$feeder" small big >"$work/feeder.out" 2>&1 & else "$feeder" small big >"$work/feeder.out" 2>&1 & fi
pids+=($!)
client video --retry-ms 20000 --raw-out "$work/raw.bin" --out "$work/frames.264"; status=$?
check "video client ends cleanly (got $status)" test "$status" -eq 0
check "summary counts both frames" grep -q "^frames=2 bytes=70005 " "$work/client.err"
check "raw stream is 4+5+4+70000 bytes" test "$(stat -c %s "$work/raw.bin" 2>/dev/null)" = 70013
check "raw stream starts with the 5-byte example" \
  test "$(head -c 13 "$work/raw.bin" | od -An -tx1 | tr -d ' \n')" = "05000000000000010970110100"
check "Annex-B output has just the frames" test "$(stat -c %s "$work/frames.264" 2>/dev/null)" = 70005
check "writer ends on the closed channel" wait_line "$work/feeder.out" "secure-stream: canal inchis, opresc writer-ul"

echo "client end-to-end ($mode): $passed passed, $failures failed"
[ "$failures" -eq 0 ]
