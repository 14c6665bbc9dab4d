#!/usr/bin/env bash
# What a remote user feels typing on the secure desktop: the time from a key
# leaving the GUI to the arrival of the first record whose decoded picture
# shows it. A full-screen window on a 1920x1080 Xvfb draws the next 648x40
# marker on each key press (a password field's new dot), as x_test_pattern
# does. Measured for:
#  - the worker (Linux, OpenH264), the key written to its input pipe;
#  - ffmpeg x11grab at 30 and at 60 fps + libx264 ultrafast zerolatency,
#    6 Mbit/s, the key injected through XTest;
# each on a plain still screen with keys 150 ms apart, and on a detailed still
# screen (a photograph-like texture, as behind a real logon screen) left still
# for STILL seconds, then keys a second apart. Last, the time from the secure
# desktop appearing to the GUI's first record. Medians and 95th percentiles;
# ratios against the 60 fps x264 pipeline of the same run.
# usage: bench/type_to_picture_bench.sh BUILD_DIR [KEYS] [STILL]   (e.g. build/native)
set -euo pipefail
build=${1:?usage: type_to_picture_bench.sh BUILD_DIR [KEYS] [STILL]}
keys=${2:-60} still=${3:-15}
pattern=$build/tests/secure/x_test_pattern
[ -x "$pattern" ] || { echo "no $pattern: build $build first" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../tests/support/script_session.sh
. "$here/../tests/support/script_session.sh"
session_start halvorine-type-bench
# The secure desktop takes keys only from a GUI installed beside the worker:
# both installed into a folder of root's that nobody else may write, and the
# keys go through the installed client, kept open as a GUI keeps its pipe.
trusted_dir installed "$build"
trap 'session_cleanup; rm -rf "$installed"' EXIT
cmake --install "$build" --prefix "$installed" >/dev/null
worker=$installed/bin/halvorine-worker client=$installed/bin/halvorine-client
start_xvfb DISPLAY 1920x1080
export DISPLAY
mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
log=$work/programdata/Halvorine/halvorine-worker.log
wait_for() {
  for _ in $(seq 1 600); do eval "$1" && return 0; sleep 0.05; done
  echo "timed out: $1" >&2
  cat "$log" "$work/pattern.out" >&2 2>/dev/null
  exit 1
}

mkfifo "$work/pattern.in"
"$pattern" <"$work/pattern.in" >"$work/pattern.out" &
pids+=($!)
exec 4>"$work/pattern.in"
wait_for 'grep -q "^ready" "$work/pattern.out"'
echo keys >&4
say() { echo "$1" >&4; }

# The GUI side of one run: reads the stream (records of the worker's pipe, or
# ffmpeg's H.264 on standard input split at its access unit delimiters),
# stamping the arrival of each picture; sends the keys on cue. Writes
# "send <ns>" lines and the stream with its arrivals.
cat >"$work/receive.py" <<'PY'
import os, socket, struct, sys, time
mode, prefix, pipes = sys.argv[1], sys.argv[2], sys.argv[3]
out = open(prefix + ".h264", "wb")
arrivals = open(prefix + ".arrivals", "w")
if mode == "worker":
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    for attempt in range(200):
        try:
            sock.connect(os.path.join(pipes, "halvorine-secure-video")); break
        except OSError as error:
            if attempt == 199:
                sys.exit(f"the video pipe: {error}")
            time.sleep(0.05)
    def read(n):
        data = b""
        while len(data) < n:
            try:
                chunk = sock.recv(n - len(data))
            except OSError as error:
                print(f"the video pipe: {error}", file=sys.stderr)
                sys.exit(0)
            if not chunk:
                sys.exit(0)
            data += chunk
        return data
    while True:
        (length,) = struct.unpack("<I", read(4))
        record = read(length)
        arrivals.write(f"{time.monotonic_ns()} {length}\n"); arrivals.flush()
        out.write(record); out.flush()
else:
    # ffmpeg writes each access unit whole as it is made (-flush_packets):
    # a delimiter read now starts a unit that is here now.
    tail = b""
    while True:
        chunk = os.read(0, 1 << 20)
        if not chunk:
            break
        now = time.monotonic_ns()
        out.write(chunk); out.flush()
        data = tail + chunk
        at = data.find(b"\0\0\0\1\x09")
        while at != -1:
            arrivals.write(f"{now} 0\n")
            at = data.find(b"\0\0\0\1\x09", at + 5)
        tail = data[-4:]
        arrivals.flush()
PY
# MODE OUT_PREFIX; exec: the background job's PID is the reader's own.
receive() { exec python3 "$work/receive.py" "$1" "$2" "$HALVORINE_PIPE_DIR"; }

send_keys() {  # MODE COUNT PERIOD_S OUT_PREFIX: keys through the installed client or XTest
  python3 - "$@" "$client" "$HALVORINE_PIPE_DIR" <<'PY'
import os, subprocess, sys, time
mode, count, period, prefix, client, pipes = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4], sys.argv[5], sys.argv[6]
sends = open(prefix + ".sends", "w")
if mode == "worker":
    gui = subprocess.Popen([client, "input", "--pipe-dir", pipes, "--no-server-check", "--retry-ms", "5000"],
                           stdin=subprocess.PIPE, text=True)
    time.sleep(1)  # connected and known to the worker before the first key
    for n in range(count):
        time.sleep(period)
        sends.write(f"{time.monotonic_ns()}\n"); sends.flush()
        gui.stdin.write("key KeyA down\nkey KeyA up\n"); gui.stdin.flush()
    time.sleep(1)
    gui.stdin.close()
    gui.wait()
else:
    fifo = open(os.environ["PATTERN_IN"], "w")
    for n in range(count):
        time.sleep(period)
        fifo.write("xtest 38\n"); fifo.flush()
    time.sleep(1)
PY
}

# Latencies of the keys of one run.
latencies() {  # OUT_PREFIX SEND_SOURCE LABEL
  local prefix=$1 source=$2 label=$3
  ffmpeg -v error -f h264 -i "$prefix.h264" -fps_mode passthrough -f rawvideo -pix_fmt gray "$prefix.gray"
  if [ "$source" = pattern ]; then
    grep '^sent ' "$work/pattern.out" | tail -n "$(grep -c . "$prefix.count")" | awk '{print $2}' >"$prefix.sends"
  fi
  PYTHONPATH=$here python3 - "$prefix" "$work/pattern.out" "$label" <<'PY'
import sys
from pattern_marker import marker_value
prefix, drawn_path, label = sys.argv[1], sys.argv[2], sys.argv[3]
width, height = 1920, 1080
arrivals = [int(line.split()[0]) for line in open(prefix + ".arrivals")]
sends = [int(line) for line in open(prefix + ".sends")]
# (marker, time drawn) of the key presses (marker 0 is the pattern's reset).
drawn = [(int(l.split()[1]), int(l.split()[2])) for l in open(drawn_path) if l.startswith("drawn")]
drawn = [(value, at) for value, at in drawn if value != 0]
data = open(prefix + ".gray", "rb").read()
count = len(data) // (width * height)
pictures = min(count, len(arrivals))
first_seen = {}
for i in range(pictures):
    first_seen.setdefault(marker_value(data, i * width * height, width), i)
# A key drew the first marker drawn after it was sent.
result = []
for sent in sends:
    marker = next((value for value, at in drawn if at >= sent), None)
    if marker is not None and marker in first_seen:
        result.append((arrivals[first_seen[marker]] - sent) / 1e6)
result.sort()
if not result:
    print(f"{label}: no key was seen"); sys.exit(0)
def pct(p): return result[min(len(result) - 1, int(round(p / 100 * (len(result) - 1))))]
print(f"{label}: median {pct(50):.1f} ms, p95 {pct(95):.1f} ms over {len(result)} of {len(sends)} keys")
open(prefix + ".result", "w").write(f"{pct(50)} {pct(95)}\n")
PY
}

run_scenario() {  # PIPELINE SCENARIO
  local pipeline=$1 scenario=$2 prefix=$work/$1-$2 count period
  if [ "$scenario" = still ]; then count=$((keys / 4 > 8 ? keys / 4 : 8)) period=1; else count=$keys period=0.15; fi
  seq 1 "$count" >"$prefix.count"
  if [ "$pipeline" = worker ]; then
    receive worker "$prefix" &
    local reader=$!
    [ "$scenario" = still ] && sleep "$still"
    send_keys worker "$count" "$period" "$prefix"
    kill "$reader" 2>/dev/null || true
    wait "$reader" 2>/dev/null || true
    latencies "$prefix" pipe "worker, $scenario"
  else
    ffmpeg -v error -f x11grab -draw_mouse 0 -framerate "$pipeline" -video_size 1920x1080 -i "$DISPLAY" \
      -c:v libx264 -preset ultrafast -tune zerolatency -b:v 6M -x264-params aud=1 -flush_packets 1 -f h264 - \
      2>"$prefix.err" | receive ffmpeg "$prefix" &
    local reader=$!
    sleep 1
    [ "$scenario" = still ] && sleep "$still"
    PATTERN_IN=$work/pattern.in send_keys xtest "$count" "$period" "$prefix"
    pkill -f "x11grab -draw_mouse 0 -framerate $pipeline " 2>/dev/null || true
    wait "$reader" 2>/dev/null || true
    latencies "$prefix" pattern "x264 ${pipeline} fps, $scenario"
  fi
}

say "desktop Winlogon"
"$worker" >/dev/null 2>&1 &
pids+=($!)
wait_for 'grep -qs "encoder pornit" "$log"'
for scenario in typing still; do
  [ "$scenario" = still ] && say texture
  [ "$scenario" = typing ] && say "mark 0"
  for pipeline in worker 30 60; do run_scenario "$pipeline" "$scenario"; done
  say "mark 0"
  sleep 0.5
done

echo
echo "== ratios against x264 at 60 fps in this run (median, p95)"
for scenario in typing still; do
  read -r ref_median ref_p95 <"$work/60-$scenario.result" || continue
  for pipeline in worker 30; do
    read -r median p95 <"$work/$pipeline-$scenario.result" || continue
    awk -v m="$median" -v p="$p95" -v rm="$ref_median" -v rp="$ref_p95" -v l="$pipeline, $scenario" \
      'BEGIN { printf "  %s: %.2f, %.2f\n", l, m / rm, p / rp }'
  done
done

echo
echo "== the secure desktop appearing to the GUI's first record (plain screen)"
say plain
python3 - "$HALVORINE_PIPE_DIR" "$work/pattern.in" "$work/pattern.out" <<'PY'
import os, socket, struct, sys, time
pipes, fifo_path, out_path = sys.argv[1:4]
fifo = open(fifo_path, "w")
times = []
for attempt in range(10):
    fifo.write("desktop Default\n"); fifo.flush()
    time.sleep(1.0)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(os.path.join(pipes, "halvorine-secure-video"))
    before = sum(1 for l in open(out_path) if l.startswith("desktop Winlogon"))
    fifo.write("desktop Winlogon\n"); fifo.flush()
    header = b""
    sock.settimeout(10)
    while len(header) < 4:
        header += sock.recv(4 - len(header))
    arrived = time.monotonic_ns()
    for _ in range(100):
        lines = [l for l in open(out_path) if l.startswith("desktop Winlogon")]
        if len(lines) > before:
            break
        time.sleep(0.01)
    times.append((arrived - int(lines[-1].split()[2])) / 1e6)
    sock.close()
times.sort()
print(f"median {times[len(times) // 2]:.1f} ms, p95 {times[min(len(times) - 1, round(0.95 * (len(times) - 1)))]:.1f} ms, "
      f"max {times[-1]:.1f} ms over {len(times)} appearances")
PY
