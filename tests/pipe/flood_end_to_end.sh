#!/usr/bin/env bash
# A client floods the input pipe with mouse moves at full speed, between a
# ShiftLeft press and its release; the worker must keep its memory under the
# bound, inject every move, and still inject the release after the flood.
#   flood_end_to_end.sh native WORKER INPUT_FLOOD X_INPUT_RECORDER MEGABYTES BOUND_MB   (BOUND_MB 0: not checked)
#   flood_end_to_end.sh wine   WORKER.exe INPUT_FLOOD.exe TEST_WINDOW.exe MEGABYTES BOUND_MB
#                                                          (needs HALVORINE_WINE_STATE)
# Prints the flood's rate and the worker's peak resident memory.
set -euo pipefail
mode=$1 worker=$2 flood=$3 peer=$4 megabytes=$5 bound_mb=$6

# shellcheck source=../support/script_session.sh
. "$(dirname "$0")/../support/script_session.sh"
session_start halvorine-flood
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log (tail)" >&2; tail -n 20 "$log" >&2 || true
  echo "--- peer (tail)" >&2; tail -n 5 "$recorded" >&2 || true
  exit 1
}
recorded=$work/recorded

if [ "$mode" = wine ]; then
  # shellcheck disable=SC1091
  . "$HALVORINE_WINE_STATE/env"
  log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
  wine "$peer" "$(winepath -w "$recorded")" 3600 >"$work/window.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 600); do grep -q '^ready' "$recorded" 2>/dev/null && break; sleep 0.1; done
  grep -q '^ready' "$recorded" || fail "the test window did not start"
  wine "$worker" >"$work/worker.out" 2>&1 &
  pids+=($!)
  # The Windows process is a Wine process of its own (its launchers may show
  # the same command line): measure the largest of them.
  worker_pid=wine
  worker_pids() { pgrep -f "$(basename "$worker")" || true; }
  pipe='\\.\pipe\halvorine-input'
  run_flood() { wine "$flood" "$pipe" "$megabytes"; }
else
  start_xvfb DISPLAY 1280x800
  export DISPLAY
  "$peer" "$recorded" &
  pids+=($!)
  for _ in $(seq 1 300); do grep -qx ready "$recorded" 2>/dev/null && break; sleep 0.1; done
  grep -qx ready "$recorded" || fail "the X recorder did not start"
  mkdir -p "$work/programdata" "$work/pipes"
  export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
  log=$work/programdata/Halvorine/halvorine-worker.log
  "$worker" >"$work/worker.out" 2>&1 &
  worker_pid=$!
  pids+=("$worker_pid")
  pipe=$work/pipes/halvorine-input
  run_flood() { "$flood" "$pipe" "$megabytes"; }
fi
[ -n "${worker_pid:-}" ] || fail "no worker process"

[ "$mode" = wine ] || worker_pids() { echo "$worker_pid"; }
rss_kb() {
  local pid largest=0 now
  for pid in $(worker_pids); do
    now=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${now:-0}" -gt "$largest" ] && largest=$now
  done
  echo "$largest"
}
for _ in $(seq 1 300); do grep -q 'waiting for client' "$log" 2>/dev/null && break; sleep 0.1; done
sleep 0.5
idle_kb=$(rss_kb)

# Sample the worker's resident memory while the flood runs.
(
  peak=0
  while :; do
    now=$(rss_kb)
    [ "$now" -gt "$peak" ] && peak=$now && echo "$peak" >"$work/peak"
    sleep 0.2
  done
) &
sampler=$!
pids+=("$sampler")
run_flood >"$work/flood.out" 2>"$work/flood.err" || fail "the flood client failed: $(cat "$work/flood.err")"
cat "$work/flood.out"
moves=$(sed -n 's/.*moves=\([0-9]*\) .*/\1/p' "$work/flood.out")

# The release sent after the flood reaches the peer.
if [ "$mode" = wine ]; then
  release='^key up 0x10 0 '
else
  release='^key release [0-9]* Shift_L '
fi
for _ in $(seq 1 600); do grep -qE "$release" "$recorded" && break; sleep 0.1; done
grep -qE "$release" "$recorded" || fail "the ShiftLeft release after the flood was not injected"
kill "$sampler" 2>/dev/null || true
peak_kb=$(cat "$work/peak" 2>/dev/null || echo 0)
if [ "$bound_mb" -eq 0 ]; then
  echo "worker resident memory: idle $((idle_kb / 1024)) MiB, peak during the flood $((peak_kb / 1024)) MiB (no bound: sanitizer build)"
else
  echo "worker resident memory: idle $((idle_kb / 1024)) MiB, peak during the flood $((peak_kb / 1024)) MiB (bound $bound_mb MiB)"
  [ "$peak_kb" -le $((bound_mb * 1024)) ] || fail "peak memory $((peak_kb / 1024)) MiB above the bound"
fi

if [ "$mode" = native ]; then
  # Every move reached the X server: the recorder counts them before the release.
  counted=$(awk '/^key press [0-9]* Shift_L/ {on = 1; n = 0; next}
                 on && /^motion / {n += $2}
                 on && /^key release [0-9]* Shift_L/ {print n; exit}' "$recorded")
  echo "moves injected: $counted of $moves"
  [ "$counted" = "$moves" ] || fail "$counted moves injected, $moves sent"
fi
echo "flood end to end ($mode): ok"
