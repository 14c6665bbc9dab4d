#!/usr/bin/env bash
# The worker writes its start-up lines, in order and in the log's line format,
# to <program data>/Halvorine/halvorine-worker.log, and keeps running until it
# is killed. Under Wine (HALVORINE_WINE_STATE set by CTest) that is
# C:\ProgramData in the test prefix; natively a temporary PROGRAMDATA.
# Usage: worker_startup_log.sh WORKER
set -euo pipefail
worker=$1
scratch=$(mktemp -d)
if [ -n "${HALVORINE_WINE_STATE:-}" ]; then
  # shellcheck disable=SC1091
  . "$HALVORINE_WINE_STATE/env"
  log="$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log"
  rm -f "$log"
  wine "$worker" >/dev/null 2>&1 &
else
  log="$scratch/Halvorine/halvorine-worker.log"
  PROGRAMDATA=$scratch HALVORINE_PIPE_DIR=$scratch/pipes DISPLAY= "$worker" >/dev/null 2>&1 &
fi
pid=$!
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*"; echo "--- log:"; cat "$log" 2>/dev/null || true; exit 1; }

for _ in $(seq 1 100); do
  [ -f "$log" ] && grep -q '] priv: ' "$log" && break
  sleep 0.2
done
[ -f "$log" ] || fail "no log file at $log"

line_format='^\[[0-9]+\] \[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\] '
bad=$(grep -Evc "$line_format" "$log" || true)
[ "$bad" -eq 0 ] || fail "$bad lines not in the line format"
grep -q $'\r' "$log" && fail "carriage returns in the log"

# Messages without their time stamps, in order.
mapfile -t messages < <(sed -E "s/$line_format//" "$log")
[ "${#messages[@]}" -ge 3 ] || fail "fewer than three lines"
case "${messages[0]}" in
  "DPI: per-monitor-aware V2 set" | "DPI: awareness already set (ok)") ;;
  *) fail "first line is not a DPI line: ${messages[0]}" ;;
esac
[ "${messages[1]}" = "worker starting" ] || fail "second line is not 'worker starting'"
# The secure-capture thread starts before the privilege step and may log in between.
priv_index=-1
for i in "${!messages[@]}"; do
  case "${messages[$i]}" in "priv: "*) priv_index=$i; break ;; esac
done
[ "$priv_index" -ge 2 ] || fail "no 'priv:' line after 'worker starting'"

# The ms field and the local time describe the same moment (within a day: time zones).
first=$(head -n 1 "$log")
ms=$(sed -E 's/^\[([0-9]+)\].*/\1/' <<<"$first")
now_ms=$(($(date +%s) * 1000))
[ $((now_ms - ms)) -lt 600000 ] && [ $((ms - now_ms)) -lt 600000 ] || fail "ms field $ms is not now"

sleep 3
kill -0 $pid 2>/dev/null || fail "the worker ended by itself"
grep -q '] worker exiting$' "$log" && fail "the worker logged 'worker exiting'"
echo "worker start-up log: ${#messages[@]} lines, ${messages[0]} / ${messages[1]} / ${messages[$priv_index]}"
