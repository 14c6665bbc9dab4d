#!/usr/bin/env bash
# halvorine-service.exe end to end under Wine, installed as an integrator
# would: beside the worker in a folder of its own. install (and a second
# install refused), `run` by hand refused, sc start: the worker runs in the
# console session and a key from the input pipe reaches a test window; the
# worker killed by hand is followed by a new one within the backoff; sc stop
# ends the worker; uninstall removes the service (and a second one is
# refused); a service that dies takes its worker with it.
# usage: service_end_to_end.sh SERVICE_EXE WORKER_EXE CLIENT_EXE TEST_WINDOW_EXE   (HALVORINE_WINE_STATE set)
set -uo pipefail
service_exe=$1 worker_exe=$2 client=$3 window=$4
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

work=$(mktemp -d /tmp/halvorine-service-wine.XXXXXX)
folder=$WINEPREFIX/drive_c/halvorine-service-test
# The service's program-data directory is what the service control manager
# gives services: C:\ProgramData on Windows, C:\users\Public under Wine 8.
# The worker inherits it, so both logs are found where the service writes.
data=$WINEPREFIX/drive_c/users/Public/Halvorine
slog=$data/halvorine-service.log wlog=$data/halvorine-worker.log rec=$work/recorded
failures=0 passed=0 pids=()
cleanup() {
  # Leaves no service behind, whatever failed.
  wine sc stop HalvorineWorker >/dev/null 2>&1
  wine sc delete HalvorineWorker >/dev/null 2>&1
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work" "$folder"
}
trap cleanup EXIT
check() { local name=$1; shift; if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failures=$((failures + 1)); fi; }
message_lines() { sed 's/^\[[^]]*\] \[[^]]*\] //' "$1" 2>/dev/null | tr -d '\r'; }
# count FILE EXTENDED-REGEX: lines of FILE whose message matches.
count() { message_lines "$1" | grep -cE -- "$2"; }
# line FILE REGEX N [TENTHS]: waits until FILE holds N matching lines (20 s by default).
line() { for _ in $(seq 1 "${4:-200}"); do [ "$(count "$1" "$2")" -ge "$3" ] && return 0; sleep 0.1; done; false; }
# ours PATTERN: the Linux process ids of this prefix's processes whose command line matches.
ours() { for pid in $(pgrep -f "$1"); do grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid"; done; }
no_worker() { for _ in $(seq 1 100); do [ -z "$(ours 'halvorine-worker\.exe')" ] && return 0; sleep 0.1; done; false; }
seen() { for _ in $(seq 1 300); do tail -n +"$(($1 + 1))" "$rec" | grep -qE -- "$2" && return 0; sleep 0.1; done; false; }
mark() { wc -l <"$rec"; }
# The Windows process id of the last worker the service started.
last_worker_pid() { message_lines "$slog" | sed -nE 's/^service: worker started in session [0-9]+ \(pid ([0-9]+)\)$/\1/p' | tail -n 1; }

mkdir -p "$folder"
cp "$service_exe" "$folder/halvorine-service.exe" && cp "$worker_exe" "$folder/halvorine-worker.exe"
service=$folder/halvorine-service.exe
rm -f "$slog" "$slog.1"
# Wine ends its services once no other program of the prefix runs: the test
# window keeps the prefix alive from the start.
wine "$window" "$(winepath -w "$rec")" 240 >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$rec" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$rec" || { echo "FAILED: the test window did not start"; exit 1; }

# --- install, twice; run by hand ----------------------------------------------
wine "$service" install >"$work/install.out" 2>&1
check "install succeeds" test $? -eq 0
check "and says what it did" grep -q 'installed the service HalvorineWorker ("Halvorine worker"): LocalSystem, automatic start' "$work/install.out"
wine "$service" install >"$work/install2.out" 2>&1
check "a second install is refused with exit code 4" test $? -eq 4
check "saying why" grep -q 'already exists' "$work/install2.out"
wine "$service" run >"$work/run.out" 2>&1
check "run by hand exits with 2" test $? -eq 2
check "saying how to install" grep -q 'halvorine-service install' "$work/run.out"

# --- sc start: the worker runs and injects ------------------------------------
starting=$(count "$wlog" '^worker starting$')
wine sc start HalvorineWorker >"$work/start.out" 2>&1
check "sc start succeeds" test $? -eq 0
check "the service starts the worker in the console session" line "$slog" '^service: worker started in session 1 \(pid [0-9]+\)$' 1
check "the worker logs \"worker starting\"" line "$wlog" '^worker starting$' $((starting + 1))
send() { wine "$client" input --no-server-check --retry-ms 20000 "$@" 2>>"$work/client.err"; }
start=$(mark)
send "key F5 down" "key F5 up"
check "a key from the input pipe reaches the test window" seen "$start" '^key up 0x74 '

# --- the worker killed by hand: a new one within the backoff -------------------
first=$(last_worker_pid)
wine taskkill /F /PID "$first" >"$work/taskkill.out" 2>&1
check "the killed worker's exit is logged with its code" \
  line "$slog" "^service: worker in session 1 \(pid $first\) exited with code [0-9A-Fx]+ after [0-9]+ s; restarting in 1 s$" 1
# 1 s of backoff; the rest is Wine starting a process on a loaded machine.
check "a new worker follows" line "$slog" '^service: worker started in session 1 \(pid [0-9]+\)$' 2 100
start=$(mark)
send "key F6 down" "key F6 up"
check "and injects" seen "$start" '^key up 0x75 '

# --- sc stop ends the worker ---------------------------------------------------
wine sc stop HalvorineWorker >"$work/stop.out" 2>&1
check "sc stop succeeds" test $? -eq 0
check "the stop is logged" line "$slog" '^service stopped$' 1
check "with the worker's end" test "$(count "$slog" '^service: worker in session 1 \(pid [0-9]+\) ended \(stop\), exit code')" -eq 1
check "and no worker is left" no_worker

# --- uninstall, twice -------------------------------------------------------------
wine "$service" uninstall >"$work/uninstall.out" 2>&1
check "uninstall succeeds" test $? -eq 0
check "and says so" grep -q 'removed the service HalvorineWorker' "$work/uninstall.out"
check "the service is gone" bash -c "! wine sc query HalvorineWorker >/dev/null 2>&1"
wine "$service" uninstall >"$work/uninstall2.out" 2>&1
check "a second uninstall exits with 4" test $? -eq 4
check "saying it is not installed" grep -q 'is not installed' "$work/uninstall2.out"

# --- a service that dies takes its worker with it (the job closes) -------------
# Last: Wine's service manager does not see a service die, and takes it as
# running until its prefix ends (the clean-up deletes it).
wine "$service" install >"$work/install3.out" 2>&1
wine sc start HalvorineWorker >"$work/start2.out" 2>&1
check "started again, a worker runs" line "$wlog" '^worker starting$' $((starting + 3))
services=$(ours 'halvorine-service\.exe run')
check "the service process is found" test "$(echo "$services" | wc -w)" -eq 1
kill -KILL $services
check "killed, its worker ends too" no_worker

echo "service end to end: $passed passed, $failures failed"
[ "$failures" -eq 0 ] || { tail -n 30 "$slog" "$wlog" "$work"/*.out; exit 1; }
