#!/usr/bin/env bash
# What a GUI sees of the secure stream over time on Linux:
#  1. a GUI that reads 1 s, stops reading for 5 s while a 640x480 area changes
#     every 60 ms, then reads 4 s: every picture it receives has its reference
#     (no gap in frame_num outside an IDR), every record decodes, and the
#     picture shows the screen again as soon as the worker can encode it
#     (the delay is printed; it must not wait for the 700 ms refresh);
#  2. 66 changes a second are encoded at no more than 30 frames a second;
#  3. a 5120x1440 secure desktop streams 3840x1080 pictures that match a
#     scaled grab of the screen.
# usage: stream_healing_end_to_end.sh WORKER X_TEST_PATTERN
set -euo pipefail
worker=$1 pattern=$2
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=../../support/script_session.sh
. "$here/../../support/script_session.sh"
session_start halvorine-healing-e2e
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; tail -n 40 "${log:-/dev/null}" >&2 || true
  exit 1
}
wait_for_line() {
  for _ in $(seq 1 200); do grep -qsF -- "$1" "$log" && return 0; sleep 0.1; done
  fail "no '$1' in the log"
}

# A private X server of SIZE playing the secure desktop, the test picture on
# it, and a worker with its own folders; sets DISPLAY, log, worker_pid.
start_secure_desktop() {
  local size=$1 dir=$work/$1
  mkdir -p "$dir/programdata" "$dir/pipes"
  start_xvfb DISPLAY "$size"
  export DISPLAY
  rm -f "$work/pattern.in"
  mkfifo "$work/pattern.in"
  "$pattern" <"$work/pattern.in" >"$dir/pattern.out" &
  pids+=($!)
  exec 4>"$work/pattern.in"
  for _ in $(seq 1 300); do grep -q '^ready' "$dir/pattern.out" 2>/dev/null && break; sleep 0.1; done
  grep -qx "ready $size" "$dir/pattern.out" || fail "the test picture did not appear at $size"
  drawn=$dir/pattern.out
  xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
  export PROGRAMDATA=$dir/programdata HALVORINE_PIPE_DIR=$dir/pipes
  log=$dir/programdata/Halvorine/halvorine-worker.log
  "$worker" >"$dir/worker.out" 2>&1 &
  worker_pid=$!
  pids+=($worker_pid)
  wait_for_line "secure-stream: encoder pornit"
}

# The GUI: reads the video socket following a script of "read S", "pause S",
# "trickle S" (one byte a second), "records N S" (read until N records came,
# at most S seconds) and "say TEXT" (a line to the test picture) steps, then
# leaves; writes the records to OUT.h264 and their arrival times
# (monotonic ns) to OUT.arrivals.
gui() {
  local out=$1
  shift
  python3 - "$HALVORINE_PIPE_DIR/halvorine-secure-video" "$work/pattern.in" "$out" "$@" <<'PY'
import socket, struct, sys, time
# The worker listens again only once it has seen the last GUI leave.
for attempt in range(400):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(sys.argv[1])
        break
    except (ConnectionRefusedError, FileNotFoundError):
        sock.close()
        time.sleep(0.05)
else:
    sys.exit("the video pipe never took a GUI")
pattern = open(sys.argv[2], "w")
stream, arrivals = open(sys.argv[3] + ".h264", "wb"), open(sys.argv[3] + ".arrivals", "w")
buffer, received = b"", 0
def read_for(seconds, records=None):
    global buffer, received
    end, wanted = time.monotonic() + seconds, None if records is None else received + records
    while time.monotonic() < end and (wanted is None or received < wanted):
        sock.settimeout(max(0.001, end - time.monotonic()))
        try:
            chunk = sock.recv(1 << 20)
        except socket.timeout:
            continue
        if not chunk:
            return
        buffer += chunk
        while len(buffer) >= 4:
            (length,) = struct.unpack("<I", buffer[:4])
            if len(buffer) < 4 + length:
                break
            stream.write(buffer[4:4 + length])
            arrivals.write(f"{time.monotonic_ns()}\n")
            buffer, received = buffer[4 + length:], received + 1
for step in sys.argv[4:]:
    verb, _, arg = step.partition(" ")
    if verb == "read":
        read_for(float(arg))
    elif verb == "records":
        count, seconds = arg.split()
        read_for(float(seconds), int(count))
    elif verb == "pause":
        time.sleep(float(arg))
    elif verb == "trickle":
        for _ in range(int(float(arg))):
            sock.recv(1)
            time.sleep(1)
    elif verb == "say":
        pattern.write(arg + "\n")
        pattern.flush()
PY
}

# Decodes IN.h264 (WxH) to gray frames; prints the frame count. Every record
# must decode.
decode_gray() {
  local file=$1 width=$2 height=$3
  ffmpeg -v error -f h264 -i "$file.h264" -fps_mode passthrough -f rawvideo -pix_fmt gray "$file.gray" \
    2>"$file.ffmpeg" || fail "ffmpeg: $(cat "$file.ffmpeg")"
  [ ! -s "$file.ffmpeg" ] || fail "ffmpeg reported errors: $(head -n 3 "$file.ffmpeg")"
  local bytes
  bytes=$(stat -c %s "$file.gray")
  echo $((bytes / (width * height)))
}

echo "== 1. a GUI that stops reading for 5 s while the screen keeps changing"
start_secure_desktop 1920x1080
sleep 1
gui "$work/paused" "read 1" "say churn 60" "pause 5" "say mark 65000" "read 4"
python3 "$here/h264_continuity.py" "$work/paused.h264" || fail "the stream has a picture without its reference"
frames=$(decode_gray "$work/paused" 1920 1080)
[ "$frames" = "$(wc -l <"$work/paused.arrivals")" ] || fail "$frames decoded of $(wc -l <"$work/paused.arrivals") records"
# The first record showing marker 65000 against the moment it was drawn.
python3 - "$work/paused.gray" "$work/paused.arrivals" "$drawn" <<'PY' || fail "the picture did not catch up in time"
import sys
data, arrivals = open(sys.argv[1], "rb").read(), [int(l) for l in open(sys.argv[2])]
drawn = [l.split() for l in open(sys.argv[3]) if l.startswith("drawn 65000 ")]
width, size = 1920, 1920 * 1080
def marker(i):
    return sum(1 << bit for bit in range(16) if data[i * size + 24 * width + 8 + bit * 40 + 16] > 128)
shown = [i for i in range(len(arrivals)) if marker(i) == 65000]
if not drawn or not shown:
    sys.exit("the last change never arrived")
delay = (arrivals[shown[0]] - int(drawn[0][2])) / 1e6
print(f"caught up {delay:.1f} ms after reading again ({len(arrivals)} records)")
sys.exit(0 if delay < 700 else 1)
PY

echo "== 1b. a GUI that reads a byte a second, then leaves mid-record: the next one decodes from its first record"
gui "$work/trickle" "say churn 60" "trickle 3"
gui "$work/next" "read 2" "say mark 2"
python3 "$here/h264_continuity.py" "$work/next.h264" || fail "the GUI after a departure mid-record cannot decode"

echo "== 2. 66 changes a second: at most 30 encoded frames a second"
gui "$work/busy" "say churn 15" "read 3" "say mark 1" >/dev/null
changes=$(grep -c '^drawn' "$drawn")
python3 - "$log" <<'PY' || fail "more than 30 frames a second were encoded"
import re, sys
stamps = [(int(m.group(1)), int(m.group(2))) for m in
          (re.match(r"\[(\d+)\].* secure-capture: (\d+) frames encodate", l) for l in open(sys.argv[1])) if m]
rates = [n / ((t - t0) / 1000) for (t0, _), (t, n) in zip(stamps, stamps[1:]) if n > 0]
print("encoded frames a second: " + ", ".join(f"{r:.1f}" for r in rates[-3:]))
sys.exit(0 if rates and max(rates) <= 30.0 else 1)
PY
kill "$worker_pid"; wait "$worker_pid" 2>/dev/null || true

echo "== 3. a 5120x1440 secure desktop streams at 3840x1080"
start_secure_desktop 5120x1440
wait_for_line "ENCODER: ecran 5120x1440 peste limita encoderului -> scalat la 3840x1080"
sleep 1
gui "$work/large" "records 1 30"  # a sanitizer build takes its time
xwd -root -silent >"$work/large.xwd"
[ "$(decode_gray "$work/large" 3840 1080)" -ge 1 ] || fail "no picture at 3840x1080"
ffmpeg -v error -y -f h264 -i "$work/large.h264" -fps_mode passthrough -update 1 "$work/large.png"
psnr=$(ffmpeg -v info -i "$work/large.png" -i "$work/large.xwd" \
  -lavfi "[1:v]scale=3840:1080:flags=area,format=yuv444p[b];[0:v]format=yuv444p[a];[a][b]psnr" -f null - 2>&1 |
  sed -n 's/.*PSNR.* average:\([0-9.a-z]*\).*/\1/p' | tail -n 1)
echo "PSNR against the scaled screen: $psnr dB"
awk -v v="$psnr" 'BEGIN { exit !(v == "inf" || v >= 30) }' || fail "PSNR $psnr below 30"
echo "PASS"
