#!/usr/bin/env bash
# The live view's own cost at 1080p: from a record's arrival (its last byte
# read from the video pipe) to its picture on the screen (the X server has
# drawn it), median and 95th percentile, with the decoding's share. The
# worker streams a 1920x1080 display with a moving block; the view runs on a
# second display, once as large (drawn 1:1) and once at 1280x800 (scaled to
# 1280x720).
# usage: bench/view_latency_bench.sh WORKER CLIENT X_TEST_PATTERN [PICTURES]
# (build/native/src/bin/worker/halvorine-worker, build/native/tools/halvorine-client/halvorine-client,
#  build/native/tests/secure/x_test_pattern; PICTURES per run, default 300)
set -euo pipefail
worker=$1 client=$2 pattern=$3 pictures=${4:-300}

# shellcheck source=../tests/support/script_session.sh
. "$(dirname "$0")/../tests/support/script_session.sh"
session_start halvorine-view-bench

start_xvfb stream 1920x1080
mkfifo "$work/pattern.in"
DISPLAY=$stream "$pattern" <"$work/pattern.in" >"$work/pattern.out" &
pids+=($!)
exec 4>"$work/pattern.in"
for _ in $(seq 1 100); do grep -q '^ready' "$work/pattern.out" 2>/dev/null && break; sleep 0.1; done
DISPLAY=$stream xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
DISPLAY=$stream "$worker" >/dev/null 2>&1 &
pids+=($!)
echo animate >&4

for size in 1920x1080 1280x800; do
  start_xvfb view "$size"
  DISPLAY=$view timeout 120 "$client" view --frames "$pictures" \
    2>"$work/view$size.err" || { cat "$work/view$size.err" >&2; exit 1; }
  summary=$(grep '^view: ' "$work/view$size.err")
  echo "view on a $size display, $pictures pictures of a 1920x1080 stream: $summary"
done
