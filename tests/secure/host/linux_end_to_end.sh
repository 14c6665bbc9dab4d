#!/usr/bin/env bash
# The video half end to end on Linux: a known picture on a private Xvfb at
# 1920x1080, the root window's _HALVORINE_DESKTOP property making the display
# the secure desktop, the Linux worker capturing and encoding it, and
# halvorine-client recording the secure-video socket; ffmpeg decodes what
# arrived and compares it with the screen.
# usage: linux_end_to_end.sh WORKER CLIENT X_TEST_PATTERN [PNG_OUT]
# PNG_OUT, when given, receives the last decoded frame (for the demo).
set -euo pipefail
worker=$1 client=$2 pattern=$3 png_out=${4:-}
min_psnr=35

work=$(mktemp -d /tmp/halvorine-video-e2e.XXXXXX)
pids=()
cleanup() {
  exec 4>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

log=$work/programdata/Halvorine/halvorine-worker.log
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$log" >&2 || true
  exit 1
}
# 0 while the log does not exist yet.
log_count() {
  [ -f "$log" ] || { echo 0; return; }
  grep -cF -- "$1" "$log" || true
}
# Waits up to 20 s until LINE is in the log at least COUNT times.
wait_for_line() {
  local line=$1 count=${2:-1}
  for _ in $(seq 1 200); do
    [ "$(log_count "$line")" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "no '$line' (x$count) in the log"
}

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"

mkfifo "$work/pattern.in"
"$pattern" <"$work/pattern.in" >"$work/pattern.out" &
pids+=($!)
exec 4>"$work/pattern.in"
for _ in $(seq 1 300); do grep -q '^ready' "$work/pattern.out" 2>/dev/null && break; sleep 0.1; done
grep -qx 'ready 1920x1080' "$work/pattern.out" || fail "the test picture did not appear"
command_pattern() { echo "$1" >&4; }

set_desktop() { xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP "$1"; }
set_desktop Winlogon

mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$worker" >"$work/worker.out" 2>&1 &
pids+=($!)
wait_for_line "secure-capture: DesktopDuplicator pornit pe Winlogon (1920x1080)"
wait_for_line "secure-stream: encoder pornit 1920x1080 30fps 6000kbps"

# Records N frames into FILE (Annex-B); fails if the client fails.
record() {
  local frames=$1 file=$2
  timeout 30 "$client" video --retry-ms 5000 --frames "$frames" --out "$file" 2>>"$work/client.err" ||
    fail "client exited with $? recording $file"
}
# Number of frames ffmpeg decodes from FILE; every record must decode.
decoded_frames() {
  ffmpeg -v error -f h264 -i "$1" -fps_mode passthrough -f rawvideo -pix_fmt gray - 2>"$work/ffmpeg.err" |
    wc -c | awk '{print $1 / (1920 * 1080)}'
}
# PSNR (dB, average over Y, U, V) of FILE's last decoded frame against the screen now.
psnr_against_screen() {
  local file=$1
  xwd -root -silent >"$work/screen.xwd"
  ffmpeg -v error -y -f h264 -i "$file" -fps_mode passthrough -update 1 "$work/last.png"
  ffmpeg -v info -i "$work/last.png" -i "$work/screen.xwd" \
    -lavfi "[0:v]format=yuv444p[a];[1:v]format=yuv444p[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR.* average:\([0-9.a-z]*\).*/\1/p' | tail -n 1
}
psnr_at_least() {
  local value=$1
  [ "$value" = "inf" ] && return 0
  awk -v v="$value" -v m="$min_psnr" 'BEGIN { exit !(v >= m) }'
}

echo "== a still screen: the first record is decodable, the picture matches"
record 3 "$work/still.h264"
[ "$(decoded_frames "$work/still.h264")" = 3 ] || fail "not every record of still.h264 decodes: $(cat "$work/ffmpeg.err")"
still_psnr=$(psnr_against_screen "$work/still.h264")
echo "PSNR still: $still_psnr dB"
psnr_at_least "$still_psnr" || fail "PSNR $still_psnr below $min_psnr"

echo "== a change on the screen shows in a later frame"
"$client" video --retry-ms 5000 --frames 3 --out "$work/change.h264" 2>>"$work/client.err" &
recorder=$!
sleep 0.5
command_pattern "mark 43981"
wait "$recorder" || fail "client failed recording the change"
change_psnr=$(psnr_against_screen "$work/change.h264")
echo "PSNR after the change: $change_psnr dB"
psnr_at_least "$change_psnr" || fail "the change did not arrive (PSNR $change_psnr)"
[ -n "$png_out" ] && cp "$work/last.png" "$png_out"

echo "== leaving the secure desktop stops, GUIs that leave while no frames flow are noticed"
set_desktop Default
wait_for_line "secure-capture: stop"
wait_for_line "secure-stream: stop"
connected=$(log_count "secure-stream: GUI conectat la pipe-ul video")
gone=$(log_count "secure-stream: GUI deconectat de la pipe-ul video")
for i in 1 2 3; do
  # A GUI that went unnoticed keeps the pipe busy past the retry.
  "$client" video --retry-ms 5000 --connect-only 2>>"$work/client.err" ||
    fail "GUI $i was refused (status $?) while no frames flow"
  wait_for_line "secure-stream: GUI deconectat de la pipe-ul video" "$((gone + i))"
done
[ "$(log_count "secure-stream: GUI conectat la pipe-ul video")" -eq "$((connected + 3))" ] || fail "not every GUI was accepted"

echo "== back on the secure desktop: it starts again and the stream resumes with a key frame"
set_desktop Winlogon
wait_for_line "secure-capture: DesktopDuplicator pornit pe Winlogon (1920x1080)" 2
wait_for_line "secure-stream: encoder pornit 1920x1080 30fps 6000kbps" 2
[ "$(log_count "secure-capture: stop")" -eq 1 ] || fail "more than one stop line"
record 1 "$work/resumed.h264"
[ "$(decoded_frames "$work/resumed.h264")" = 1 ] || fail "the first record after the switch does not decode"

echo "== a GUI that connects mid-stream decodes its first record"
command_pattern animate
record 30 "$work/moving.h264"
[ "$(decoded_frames "$work/moving.h264")" = 30 ] || fail "not every record of a moving screen decodes"
for i in 1 2 3; do
  record 1 "$work/joined.h264"
  [ "$(decoded_frames "$work/joined.h264")" = 1 ] || fail "mid-stream GUI $i cannot decode its first record"
done
command_pattern "mark 1"

grep -F "encode err" "$log" && fail "encode errors in the log"
grep -F "frames encodate+trimise" "$log" | tail -n 3
echo "PASS (PSNR still $still_psnr dB, after a change $change_psnr dB)"
