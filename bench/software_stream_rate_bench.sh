#!/usr/bin/env bash
# The software stream's bit rate when the whole 1920x1080 secure desktop
# changes, for three clips shown full screen: a moving picture (ffmpeg's
# testsrc2, 30 frames a second), a mosaic of 8 px tiles changing 25 times a
# second, and noise changing 30 times a second. For each:
#  - the bytes per second a GUI reading the video pipe receives, on average
#    and in the busiest second, against the stream's 6000 kbit/s (its ceiling
#    is twice that);
#  - the worker's CPU against ffmpeg grabbing the same screen (x11grab at
#    30 fps) and encoding it with libx264 (ultrafast, zerolatency, 6 Mbit/s),
#    each as a share of one core over the same length of time in the same run,
#    with ffmpeg's own bit rate beside it.
# Figures only; nothing is judged. Linux has no hardware encoder: the worker
# runs on the software path.
# usage: bench/software_stream_rate_bench.sh WORKER PLAYER [SECONDS]
# (build/native/src/bin/worker/halvorine-worker, build/native/bench/x_frame_player;
#  SECONDS per measurement, default 10)
set -euo pipefail
worker=$1 player=$2 seconds=${3:-10}

# shellcheck source=../tests/support/script_session.sh
. "$(dirname "$0")/../tests/support/script_session.sh"
session_start halvorine-rate-bench
start_xvfb screen 1920x1080
export DISPLAY=$screen

# The clips, BGRA frames of the screen's size, made before anything is timed.
clip() { ffmpeg -v error -f lavfi -i "$2" -frames:v "$3" -pix_fmt bgra -f rawvideo "$work/$1.bgra"; }
random_rgb="format=gbrp,geq=r='random(1)*255':g='random(2)*255':b='random(3)*255'"
clip picture "testsrc2=s=1920x1080:r=30" 60
clip mosaic "nullsrc=s=240x135,$random_rgb,scale=1920:1080:flags=neighbor" 25
clip noise "nullsrc=s=1920x1080,$random_rgb" 30

# A client for the whole run: the server would reset (and forget the
# property) whenever its last client leaves, between two clips.
xprop -root -spy _HALVORINE_DESKTOP >/dev/null &
pids+=($!)
for _ in $(seq 1 50); do
  xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
  xprop -root _HALVORINE_DESKTOP | grep -q Winlogon && break
  sleep 0.1
done
mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$worker" >/dev/null 2>&1 &
worker_pid=$!
pids+=("$worker_pid")
log=$work/programdata/Halvorine/halvorine-worker.log
for _ in $(seq 1 100); do grep -qs "encoder pornit" "$log" && break; sleep 0.1; done
grep -qs "encoder pornit" "$log" || { echo "FAIL: the worker did not start streaming" >&2; cat "$log" >&2; exit 1; }

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
bytes_read() {
  local count
  count=$(head -c 20 "$work/received" 2>/dev/null | tr -d ' ')
  echo "${count:-0}"
}

for run in "picture 33" "mosaic 40" "noise 33"; do
  read -r name period <<<"$run"
  mkfifo "$work/$name.in"
  "$player" "$work/$name.bgra" "$period" <"$work/$name.in" >"$work/$name.out" &
  player_pid=$!
  pids+=("$player_pid")
  exec 5>"$work/$name.in"
  for _ in $(seq 1 100); do grep -q '^ready' "$work/$name.out" 2>/dev/null && break; sleep 0.1; done
  shown_from=$(date +%s%N)

  # A GUI that reads as fast as the stream comes and keeps the count of
  # bytes received at the start of its file.
  python3 - "$HALVORINE_PIPE_DIR/halvorine-secure-video" "$work/received" <<'PY' &
import os, socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
sock.connect(sys.argv[1])
total = 0
fd = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
while True:
    data = sock.recv(1 << 20)
    if not data:
        break
    total += len(data)
    os.pwrite(fd, f"{total:<20}".encode(), 0)
PY
  reader=$!
  pids+=("$reader")
  sleep 3  # the encoder settles on the new content
  bytes0=$(bytes_read) worker0=$(ticks "$worker_pid") frames0=$(grep -c "frames encodate" "$log" || true)
  peak=0 last=$bytes0
  for _ in $(seq 1 "$seconds"); do  # the busiest second too
    sleep 1
    now=$(bytes_read)
    peak=$((now - last > peak ? now - last : peak)) last=$now
  done
  bytes1=$(bytes_read) worker1=$(ticks "$worker_pid")
  encoded=$(tail -n +"$((frames0 + 1))" <(grep -F "frames encodate+trimise" "$log") |
    awk '{s += $(NF - 3)} END {printf "%.1f", NR ? s / NR : 0}')
  kill "$reader" 2>/dev/null || true
  wait "$reader" 2>/dev/null || true

  # The reference: no GUI reads now, so the worker encodes nothing meanwhile.
  ffmpeg -v error -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" -c:v libx264 -preset ultrafast \
    -tune zerolatency -b:v 6M -f h264 "$work/ffmpeg.h264" &
  ffmpeg_pid=$!
  pids+=("$ffmpeg_pid")
  sleep 3
  size0=$(stat -c %s "$work/ffmpeg.h264") ffmpeg0=$(ticks "$ffmpeg_pid")
  sleep "$seconds"
  size1=$(stat -c %s "$work/ffmpeg.h264") ffmpeg1=$(ticks "$ffmpeg_pid")
  kill "$ffmpeg_pid" 2>/dev/null || true
  wait "$ffmpeg_pid" 2>/dev/null || true
  rm -f "$work/ffmpeg.h264"

  exec 5>&-
  wait "$player_pid" || true
  shown_to=$(date +%s%N)
  shown=$(awk '/^shown/ {print $2}' "$work/$name.out")
  awk -v name="$name" -v s="$seconds" -v t="$(getconf CLK_TCK)" -v b="$((bytes1 - bytes0))" \
    -v p="$peak" -v w="$((worker1 - worker0))" -v f="$((ffmpeg1 - ffmpeg0))" -v fb="$((size1 - size0))" -v e="$encoded" \
    -v shown="${shown:-0}" -v ns="$((shown_to - shown_from))" 'BEGIN {
      kbps = b * 8 / s / 1000; fkbps = fb * 8 / s / 1000; wc = w / t / s * 100; fc = f / t / s * 100
      printf "%s (%.1f changes/s shown): worker %.0f kbit/s = %.2fx the 6000 kbit/s stream (busiest second %.2fx), " \
             "%s frames/s encoded, " \
             "%.1f%% of a core; ffmpeg x11grab+libx264 %.0f kbit/s, %.1f%% of a core; CPU ratio %.2f\n",
             name, shown / (ns / 1e9), kbps, kbps / 6000, p * 8 / 1000 / 6000, e, wc, fkbps, fc, (fc > 0 ? wc / fc : 0) }'
done
