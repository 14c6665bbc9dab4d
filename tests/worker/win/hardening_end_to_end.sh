#!/usr/bin/env bash
# The Windows worker under attack, end to end under Wine: a pipe squatter that
# got there first, a second worker, things planted where the log goes, keys
# left down when a worker is killed or stopped by a console control event,
# the lock's name taken by an ordinary process, a second worker while a GUI
# holds a key, a connection flood, Ctrl+Alt+Del a thousand times, a rotation
# blocked three times.
# usage: hardening_end_to_end.sh WORKER CLIENT TEST_WINDOW PEER SAS_DLL   (HALVORINE_WINE_STATE set;
#   HALVORINE_FLOOD_SECONDS, 25 by default, sets how long the connection flood lasts)
set -uo pipefail
worker=$1 client=$2 window=$3 peer=$4 sas_dll=$5
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"
work=$(mktemp -d /tmp/halvorine-hardening.XXXXXX)
data=$WINEPREFIX/drive_c/ProgramData
log=$data/Halvorine/halvorine-worker.log rec=$work/recorded failures=0 passed=0 pids=()
system32=$WINEPREFIX/drive_c/windows/system32
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  [ ! -f "$work/sas.dll" ] || cp "$work/sas.dll" "$system32/"  # Wine's own, back
  rm -rf "$work" "$data"/Halvorine.refuzat-* "$data"/Halvorine/*.refuzat-* "$log.1"
}
trap cleanup EXIT
check() { local name=$1; shift; if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi; }
count() { sed 's/^\[[^]]*\] \[[^]]*\] //' "$log" 2>/dev/null | tr -d '\r' | grep -cxF -- "$1"; }
count_prefix() { sed 's/^\[[^]]*\] \[[^]]*\] //' "$log" 2>/dev/null | tr -d '\r' | grep -cF -- "$1"; }
line_prefix() { for _ in $(seq 1 200); do [ "$(count_prefix "$1")" -ge "$2" ] && return 0; sleep 0.1; done; false; }
# wait_until N 'CONDITION': evaluates CONDITION anew until it holds, N tenths of a second at most.
wait_until() { for _ in $(seq 1 "$1"); do eval "$2" && return 0; sleep 0.1; done; false; }
size() { stat -c %s "$1" 2>/dev/null || echo 0; }  # 0 while a rotation has moved the log away
# line TEXT [N]: waits (20 s at most) until the log holds TEXT N times.
line() { for _ in $(seq 1 200); do [ "$(count "$1")" -ge "${2:-1}" ] && return 0; sleep 0.1; done; echo "no: $1" >&2; false; }
# seen START PATTERN: waits (30 s at most) for a line of the window after line START.
seen() { for _ in $(seq 1 300); do tail -n +"$(($1 + 1))" "$rec" | grep -qE -- "$2" && return 0; sleep 0.1; done; false; }
mark() { wc -l <"$rec"; }
send() { wine "$client" input --no-server-check --retry-ms 20000 "$@" 2>>"$work/client.err"; }
start_worker() { wine "$worker" >>"$work/worker.out" 2>&1 & worker_pid=$!; pids+=("$worker_pid"); }
wait_for() { for _ in $(seq 1 300); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }
# serve_new: starts a worker and waits until it serves.
serve_new() { local n; n=$(count "waiting for client"); start_worker; line "waiting for client" $((n + 1)); }

wine "$window" "$(winepath -w "$rec")" 560 >/dev/null 2>&1 & pids+=($!)
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

# --- Global\halvorine-worker made first by an ordinary process, as a mutex
# and as an event: the worker serves all the same, and says so once per pipe.
foreign='pipe: Global\halvorine-worker nu e al unui worker (l-a facut alt proces) - servesc halvorine-input fara el'
for kind in mutex event; do
  rm -f "$work/lock.end" "$work/lock.out"  # no word of the last one may count
  wine "$peer" lock "$kind" "$(winepath -w "$work/lock.end")" >"$work/lock.out" 2>&1 & locker=$! pids+=($!)
  wait_for "$work/lock.out" locking
  told=$(count "$foreign")
  check "a $kind of the lock's name keeps no worker from serving" serve_new
  check "which says whose it is" line "$foreign" $((told + 1))
  kill -INT "$worker_pid"; wait "$worker_pid"
  check "once" test "$(count "$foreign")" -eq $((told + 1))
  touch "$work/lock.end"; wait "$locker"
done

# --- a second worker while a GUI holds Shift touches no key ------------------
serve_new; first=$worker_pid
start=$(mark) released=$(count_prefix "inject: eliberez")
# Held until the checks are done, however slowly a loaded machine starts the
# second worker; the GUI then leaves by dying.
wine "$client" input --no-server-check --retry-ms 20000 --hold-ms 120000 "key ShiftLeft down" \
  2>>"$work/client.err" & holder=$! pids+=($!)
check "the GUI holds Shift" seen "$start" '^key down 0x10 '
threads=$(count_prefix "inject: thread injectie pornit") refusals=$(count "$refused")
start_worker; second=$worker_pid
check "the second worker starts and is refused" line_prefix "inject: thread injectie pornit" $((threads + 1))
check "the pipes" line "$refused" $((refusals + 1))
sleep 2  # what a worker that released at start would have done by now
check "and lifts no key" test -z "$(tail -n +"$((start + 1))" "$rec" | grep '^key up 0x10 ')" -a \
  "$(count_prefix "inject: eliberez")" -eq "$released"
kill -KILL "$second" "$holder"; wait "$second" "$holder" 2>/dev/null
check "the GUI's own release comes when it leaves" seen "$start" '^key up 0x10 '

# --- a connection flood leaves the click logged before it, and the log small -
click='MOUSE recv nx=100 ny=200 → inject abs_x=100 abs_y=200 btn=1 pressed=true scroll=0'
send "mouse 100 200 button=1 down" "mouse 100 200 button=1 up"
check "a click is logged" line "$click"
before=$(size "$log") seconds=${HALVORINE_FLOOD_SECONDS:-25}  # 600 for the ten-minute flood by hand
wine "$peer" flood "$seconds" >"$work/flood.out" 2>&1 & flood=$! pids+=($!)
sleep 5  # past the burst: from here on the steady rate
steady=$(size "$log"); wait "$flood"
connections=$(tr -d '\r' <"$work/flood.out" | sed -n 's/^connections //p')
grown=$(($(size "$log") - before)) rate=$((($(size "$log") - steady) / (seconds - 5)))
echo "flood: ${connections:-0} connections in $seconds s; the log grew by $grown bytes," \
     "$rate bytes/s after the burst: 2 x 16 MiB in $((33554432 / (rate + 1) / 3600)) h"
check "the flood connected" test "${connections:-0}" -gt $((seconds * 10))
check "and added at most the burst and two lines a second" test "$grown" -lt $(((256 + 2 * (seconds + 5)) * 120))
check "counting what it did not write" grep -qE '\] pipe input: [0-9]+ mesaje nelogate \(conexiuni sau erori prea dese\)$' "$log"
check "the click is still there" test "$(cat "$log.1" "$log" 2>/dev/null | grep -cF -- "$click")" -ge 1
send "mouse 100 201 button=1 down" "mouse 100 201 button=1 up"
check "and the worker still serves, its clicks logged" line "${click//200/201}"
kill -INT "$first"; wait "$first"

# --- Ctrl+Alt+Del a thousand times: a few SendSAS calls, the rest counted -----
cp "$system32/sas.dll" "$work/" && cp "$sas_dll" "$system32/sas.dll"
check "the recording sas.dll is in place (Wine's own aborts)" cmp -s "$sas_dll" "$system32/sas.dll"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sas=n" HALVORINE_TEST_SAS_RECORD=$(winepath -w "$work/sas-calls") serve_new
for _ in $(seq 1 1000); do printf 'key %s\n' 'ControlLeft down' 'AltLeft down' 'Delete down' 'Delete up' 'AltLeft up' 'ControlLeft up'; done >"$work/cad.txt"
start=$(mark) began=$SECONDS
wine "$client" input --no-server-check --retry-ms 20000 <"$work/cad.txt" 2>>"$work/client.err"
# A loaded machine replays them slowly: wait while they keep coming.
ups() { tail -n +"$((start + 1))" "$rec" | grep -c '^key up 0x11 '; }
seen_ups=-1 idle=0
while up=$(ups); [ "$up" -lt 1000 ] && [ "$idle" -lt 150 ]; do
  if [ "$up" -gt "$seen_ups" ]; then seen_ups=$up idle=0; else idle=$((idle + 1)); fi
  sleep 0.1
done
elapsed=$((SECONDS - began))
kill -INT "$worker_pid"; wait "$worker_pid"; status=$?
check "the worker lived through them (status $status)" test "$status" -eq 0
cp "$work/sas.dll" "$system32/" && rm "$work/sas.dll"
calls=$(grep -c '^SendSAS 0$' "$work/sas-calls" 2>/dev/null); calls=${calls:-0}
counted=$(sed -n 's/.*\] inject: \([0-9]*\) Ctrl+Alt+Del ignorate (cel mult un SendSAS pe secunda)$/\1/p' "$log" | awk '{ n += $1 } END { print n + 0 }')
said=$(count "inject: Ctrl+Alt+Del -> SendSAS")
echo "Ctrl+Alt+Del x1000 in $elapsed s: $calls SendSAS calls, $said said, $counted counted, $up Control releases seen"
check "all thousand were replayed ($up; client: $(tail -n 1 "$work/client.err" | tr -d '\r'))" test "$up" -ge 1000
# At most one a second, however long a loaded machine took (whole seconds, so +2).
check "a thousand Ctrl+Alt+Del give a few SendSAS calls ($calls in $elapsed s)" \
  test "$calls" -ge 1 -a "$calls" -le $((elapsed + 2))
check "one line each, every other one counted ($said said, $counted counted)" \
  test "$said" -eq "$calls" -a "$counted" -eq $((1000 - calls))
check "no Delete reached the desktop" test -z "$(tail -n +"$((start + 1))" "$rec" | grep -E '^key (down|up) 0x2E ')"

# --- a rotation blocked three times leaves the worker's .1 in place ----------
serve_new
aside=$(ls -d "$log".1.refuzat-* 2>/dev/null | wc -l)
click() { send "mouse 5 5 button=1 down" "mouse 5 5 button=1 up"; }  # click lines: the connection lines' budget may be spent
for episode in 1 2 3; do
  # Held first, then full: the last connection's lines may still be coming.
  rm -f "$work/hold.end" "$work/hold.out"
  wine "$peer" hold "$(winepath -w "$log")" "$(winepath -w "$work/hold.end")" >"$work/hold.out" 2>&1 & holder=$! pids+=($!)
  wait_for "$work/hold.out" holding
  truncate -s 16M "$log"
  dot_one=$(stat -c %i "$log.1")
  click
  check "blocked rotation $episode: the line goes to the full log" wait_until 100 '[ "$(size "$log")" -gt 16777216 ]'
  check "and the worker's .1 stays" test "$(stat -c %i "$log.1")" = "$dot_one" -a "$(ls -d "$log".1.refuzat-* | wc -l)" -eq "$aside"
  touch "$work/hold.end"; wait "$holder"
  # Retried at most once a second, with the next line after that.
  for _ in $(seq 1 20); do click; [ "$(size "$log")" -lt 16777216 ] && break; sleep 0.5; done
  check "once free, the rotation goes through" test "$(size "$log.1")" -gt 16777216 -a "$(size "$log")" -lt 16777216
done
kill -INT "$worker_pid"; wait "$worker_pid"

echo "hardening end to end: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
