#!/usr/bin/env bash
# The Windows worker under attack, end to end under Wine: a pipe squatter that
# got there first, a second worker, things planted where the log goes, keys
# left down when a worker is killed or stopped by a console control event.
# usage: hardening_end_to_end.sh WORKER CLIENT TEST_WINDOW PEER   (HALVORINE_WINE_STATE set)
set -uo pipefail
worker=$1 client=$2 window=$3 peer=$4
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"
work=$(mktemp -d /tmp/halvorine-hardening.XXXXXX)
data=$WINEPREFIX/drive_c/ProgramData
log=$data/Halvorine/halvorine-worker.log rec=$work/recorded failures=0 passed=0 pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work" "$data"/Halvorine.refuzat-* "$data"/Halvorine/*.refuzat-* "$log.1"
}
trap cleanup EXIT
check() { local name=$1; shift; if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi; }
count() { sed 's/^\[[^]]*\] \[[^]]*\] //' "$log" 2>/dev/null | tr -d '\r' | grep -cxF -- "$1"; }
# line TEXT [N]: waits (20 s at most) until the log holds TEXT N times.
line() { for _ in $(seq 1 200); do [ "$(count "$1")" -ge "${2:-1}" ] && return 0; sleep 0.1; done; echo "no: $1" >&2; false; }
# seen START PATTERN: waits (30 s at most) for a line of the window after line START.
seen() { for _ in $(seq 1 300); do tail -n +"$(($1 + 1))" "$rec" | grep -qE -- "$2" && return 0; sleep 0.1; done; false; }
mark() { wc -l <"$rec"; }
send() { wine "$client" input --no-server-check --retry-ms 20000 "$@" 2>>"$work/client.err"; }
start_worker() { wine "$worker" >>"$work/worker.out" 2>&1 & worker_pid=$!; pids+=("$worker_pid"); }
wait_for() { for _ in $(seq 1 300); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

wine "$window" "$(winepath -w "$rec")" 240 >/dev/null 2>&1 & pids+=($!)
wait_for "$rec" '^ready' || { echo "FAILED: the test window did not start"; exit 1; }

# --- a file where the log folder goes; a squatter on the input pipe -----------
rm -rf "$data"/Halvorine*
echo planted >"$data/Halvorine"
wine "$peer" squat halvorine-input "$(winepath -w "$work/squat.end")" >"$work/squat.out" 2>&1 & squatter=$! pids+=($!)
wait_for "$work/squat.out" squatting
start_worker; first=$worker_pid
squat='pipe: \\.\pipe\halvorine-input deja creat de alt proces - reincerc'
check "the worker notices the squatter" line "$squat"
sleep 5  # two more tries
touch "$work/squat.end"
wait "$squatter"
check "and serves once it is gone" line "waiting for client"
check "having said so once" test "$(count "$squat")" -eq 1
check "the planted file is moved aside" test -f "$(echo "$data"/Halvorine.refuzat-*)" -a -f "$log"
check "as the log says" grep -qE '\] log: C:\\ProgramData\\Halvorine -> C:\\ProgramData\\Halvorine\.refuzat-[0-9]{14} mutat deoparte \(nu era al worker-ului\)' "$log"

# --- a second worker serves nothing until the first is gone -------------------
waiting=$(count "waiting for client")
start_worker; second=$worker_pid
refused='CreateNamedPipe failed: another worker is serving halvorine-input (it holds Global\halvorine-worker)'
check "a second worker is refused the input pipe" line "$refused"
check "and the video pipe" line 'secure-stream: CreateNamedPipe esuat: another worker is serving halvorine-secure-video (it holds Global\halvorine-worker)'
sleep 5  # two more tries
check "said once, serving nothing" test "$(count "$refused")" -eq 1 -a "$(count "waiting for client")" -eq "$waiting"
kill -KILL "$first"
check "once the first is gone the second serves" line "waiting for client" $((waiting + 1))

# --- left down by an injector, released at the next start: Wine (not Windows)
# clears the key state of a process that dies, so this injector lives on.
kill -KILL "$second"
wine "$peer" press 30 >"$work/press.out" 2>&1 & pids+=($!)
wait_for "$work/press.out" pressed
start=$(mark)
start_worker; third=$worker_pid
check "the next worker releases both at start" line "inject: eliberez 2 taste/butoane ramase apasate la pornire"
check "Shift comes up" seen "$start" '^key up 0x10 '
check "and the button" seen "$start" '^button left up '

# --- a console control event: what the client holds is released, then the end -
line "waiting for client" $((waiting + 2)) >/dev/null
start=$(mark)
send --hold-ms 60000 "key ControlLeft down" & pids+=($!)
seen "$start" '^key down 0x11 ' >/dev/null
# Wine turns SIGINT into Ctrl+C (it cannot close a console on demand); every
# console control event takes the same path.
kill -INT "$third"
check "Control comes up" seen "$start" '^key up 0x11 '
check "after the worker's release" line "releasing held input: 1 key(s), 0 button(s)"
wait "$third"
check "which then exits with status 0" test $? -eq 0 -a "$(count "worker exiting")" -eq 1

# --- a folder where the rotated log goes: moved aside, rotation goes on --------
mkdir "$log.1"
truncate -s 16M "$log"
start_worker
for _ in $(seq 1 300); do [ -f "$log.1" ] && break; sleep 0.1; done
check "the full log is rotated" test "$(stat -c %s "$log.1" 2>/dev/null || echo 0)" -ge 16777216
check "the folder in its way moved aside" test -d "$(echo "$log".1.refuzat-*)"
check "the log goes on" line "worker starting"
check "small, saying what was moved" test "$(stat -c %s "$log")" -lt 65536 -a \
  "$(grep -cE 'log: .*\.log\.1 -> .*\.log\.1\.refuzat-[0-9]{14} mutat' "$log")" -eq 1
kill -INT "$worker_pid"
wait "$worker_pid"

echo "hardening end to end: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
