#!/usr/bin/env bash
# The secure stream on Linux at 1920x1080, measured end to end:
#  - latency from a change on the screen (the X server has the new picture) to
#    the arrival at the GUI's side of the first frame that shows it, over
#    CHANGES changes (default 120), median and 95th percentile;
#  - the worker's CPU use while the secure desktop is not shown, and while it
#    shows a still screen (share of one core over 10 s each);
#  - the worker's CPU use while a 640x480 area changes 25 and 66 times a
#    second and a GUI reads, against ffmpeg grabbing the same screen
#    (x11grab at 30 fps) and encoding it with libx264 (ultrafast,
#    zerolatency, 6 Mbit/s), measured the same way in the same run.
# usage: bench/secure_stream_bench.sh WORKER X_TEST_PATTERN [CHANGES]
# (build/native/src/bin/worker/halvorine-worker, build/native/tests/secure/x_test_pattern)
set -euo pipefail
worker=$1 pattern=$2 changes=${3:-120}

work=$(mktemp -d /tmp/halvorine-stream-bench.XXXXXX)
pids=()
cleanup() {
  exec 4>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
mkfifo "$work/pattern.in"
"$pattern" <"$work/pattern.in" >"$work/pattern.out" &
pids+=($!)
exec 4>"$work/pattern.in"
for _ in $(seq 1 100); do grep -q '^ready' "$work/pattern.out" 2>/dev/null && break; sleep 0.1; done

xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Default
mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$worker" >/dev/null 2>&1 &
worker_pid=$!
pids+=($worker_pid)
log=$work/programdata/Halvorine/halvorine-worker.log
for _ in $(seq 1 100); do grep -qs "waiting for client" "$log" && break; sleep 0.1; done
sleep 1

# Share of one core a process (default: the worker) used over 10 s.
cpu_share() {
  local pid=${1:-$worker_pid} ticks=$(getconf CLK_TCK) before after
  before=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  sleep 10
  after=$(awk '{print $14 + $15}' "/proc/$pid/stat")
  awk -v b="$before" -v a="$after" -v t="$ticks" 'BEGIN { printf "%.3f%%", (a - b) / t / 10 * 100 }'
}
echo "CPU, secure desktop not shown: $(cpu_share) of one core"

xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
for _ in $(seq 1 100); do grep -qs "encoder pornit" "$log" && break; sleep 0.1; done
sleep 2
echo "CPU, secure desktop shown, still screen: $(cpu_share) of one core"

# The GUI side: records every record with its arrival time (CLOCK_MONOTONIC,
# the clock x_test_pattern stamps its changes with).
python3 - "$HALVORINE_PIPE_DIR/halvorine-secure-video" "$work/stream.h264" "$work/arrivals" <<'PY' &
import socket, struct, sys, time
sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
sock.connect(sys.argv[1])
out, arrivals = open(sys.argv[2], "wb"), open(sys.argv[3], "w")
def read(n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            sys.exit(0)
        data += chunk
    return data
while True:
    (length,) = struct.unpack("<I", read(4))
    frame = read(length)
    arrivals.write(f"{time.monotonic_ns()}\n")
    arrivals.flush()
    out.write(frame)
    out.flush()
PY
receiver=$!
pids+=($receiver)
sleep 1.5
for n in $(seq 1 "$changes"); do
  echo "mark $n" >&4
  sleep 0.15
done
sleep 1
kill "$receiver" 2>/dev/null || true
wait "$receiver" 2>/dev/null || true

ffmpeg -v error -f h264 -i "$work/stream.h264" -fps_mode passthrough -f rawvideo -pix_fmt gray "$work/frames.gray"
PYTHONPATH=$(dirname "$0") python3 - "$work/frames.gray" "$work/arrivals" "$work/pattern.out" "$changes" <<'PY'
import sys
from pattern_marker import marker_value
frames_path, arrivals_path, drawn_path, changes = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
width, height = 1920, 1080
arrivals = [int(line) for line in open(arrivals_path)]
drawn = {}
for line in open(drawn_path):
    parts = line.split()
    if parts and parts[0] == "drawn":
        drawn[int(parts[1])] = int(parts[2])
data = open(frames_path, "rb").read()
count = len(data) // (width * height)
if count != len(arrivals):
    print(f"decoded {count} frames from {len(arrivals)} records: cannot pair them")
    sys.exit(1)
first_seen = {}
for i in range(count):
    first_seen.setdefault(marker_value(data, i * width * height, width), i)
latencies = sorted((arrivals[first_seen[n]] - drawn[n]) / 1e6 for n in range(1, changes + 1)
                   if n in first_seen and n in drawn)
missing = changes - len(latencies)
if not latencies:
    print("no change was seen")
    sys.exit(1)
def percentile(p):
    return latencies[min(len(latencies) - 1, int(round(p / 100 * (len(latencies) - 1))))]
print(f"latency over {len(latencies)} changes ({missing} never shown on their own): "
      f"median {percentile(50):.1f} ms, 95th percentile {percentile(95):.1f} ms, "
      f"min {latencies[0]:.1f} ms, max {latencies[-1]:.1f} ms; {count} frames received")
PY
grep -F "DesktopDuplicator" "$log" | head -n 3
grep -F "frames encodate+trimise" "$log" | tail -n 3

# A changing screen: the worker streaming it to a GUI that reads, then ffmpeg
# grabbing and encoding the same screen.
for rate in 25 66; do
  period=$((1000 / rate))
  python3 - "$HALVORINE_PIPE_DIR/halvorine-secure-video" <<'PY' &
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
sock.connect(sys.argv[1])
while sock.recv(1 << 20):
    pass
PY
  reader=$!
  pids+=($reader)
  echo "churn $period" >&4
  sleep 2
  before=$(grep -c '^drawn' "$work/pattern.out")
  worker_cpu=$(cpu_share)
  after=$(grep -c '^drawn' "$work/pattern.out")
  kill "$reader" 2>/dev/null || true
  wait "$reader" 2>/dev/null || true
  encoded=$(grep -F "frames encodate+trimise" "$log" | tail -n 5 | awk '{s += $(NF - 3)} END {printf "%.1f", s / NR}')
  ffmpeg -v error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" -c:v libx264 -preset ultrafast \
    -tune zerolatency -b:v 6M -f null - &
  ffmpeg_pid=$!
  pids+=($ffmpeg_pid)
  sleep 2
  ffmpeg_cpu=$(cpu_share "$ffmpeg_pid")
  kill "$ffmpeg_pid" 2>/dev/null || true
  wait "$ffmpeg_pid" 2>/dev/null || true
  echo "mark 1" >&4
  awk -v w="${worker_cpu%\%}" -v f="${ffmpeg_cpu%\%}" -v c="$(( (after - before) / 10 ))" -v e="$encoded" -v r="$rate" \
    'BEGIN { printf "changing screen, %d changes/s asked (%d made): worker %.1f%% of a core (%s frames/s encoded), " \
             "ffmpeg x11grab+libx264 %.1f%%: ratio %.2f\n", r, c, w, e, f, w / f }'
done
