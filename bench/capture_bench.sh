#!/usr/bin/env bash
# Capture benchmarks on a private 1920 x 1080 Xvfb: capture_bench (Google
# Benchmark, ratios in one run), then ffmpeg's x11grab on the same display as
# the outside reference, in full 1080p frames per second (alternating rounds,
# best of each).
# usage: bench/capture_bench.sh BUILD_DIR [FRAMES]   (e.g. build/native)
set -euo pipefail
build=${1:?usage: capture_bench.sh BUILD_DIR [FRAMES]}
frames=${2:-600}

work=$(mktemp -d /tmp/halvorine-capture-bench.XXXXXX)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"

"$build/bench/capture_bench"

# x11grab as fast as it can (the frame rate asked is far above what it
# reaches), without the pointer as our capture; the packets are discarded.
fps_of_x11grab() {
  local count=$1 start end
  start=$(date +%s%N)
  ffmpeg -v error -f x11grab -draw_mouse 0 -framerate 1000 -video_size 1920x1080 -i "$DISPLAY" \
         -frames:v "$count" -c:v copy -f null - </dev/null
  end=$(date +%s%N)
  echo "$count $(( (end - start) / 1000 ))"
}
# The machine is shared: ours and x11grab are measured in alternating rounds
# and the best round of each is compared. Two x11grab runs of different
# length cancel ffmpeg's start-up time.
best_ours=0 best_x11grab=0
for round in 1 2 3; do
  ours=$("$build/bench/capture_bench" --benchmark_filter='BM_FullCapture' 2>"$work/round.err" |
         awk '/full captures per second:/ {print $5}') || true
  if [ -z "$ours" ]; then
    echo "round $round: our capture failed: $(cat "$work/round.err")"
    kill -0 "$xvfb_pid" 2>/dev/null || { echo "Xvfb is gone:"; cat "$work/xvfb.log"; exit 1; }
    continue
  fi
  read -r short_frames short_us < <(fps_of_x11grab 60)
  read -r long_frames long_us < <(fps_of_x11grab "$frames")
  x11grab=$(python3 -c "print(f'{($long_frames - $short_frames) * 1e6 / ($long_us - $short_us):.1f}')")
  echo "round $round: ours $ours, x11grab $x11grab full 1920x1080 frames per second"
  best_ours=$(python3 -c "print(max($best_ours, $ours))")
  best_x11grab=$(python3 -c "print(max($best_x11grab, $x11grab))")
done
echo
echo "best x11grab full 1920x1080 frames per second: $best_x11grab"
echo "best of our full captures per second:          $best_ours"
python3 -c "print(f'  ours vs x11grab (frames per second): {$best_ours / $best_x11grab:.3f}')"
