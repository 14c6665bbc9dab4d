#!/usr/bin/env bash
# End-to-end check of halvorine-encode: desktop-like frames are encoded, and
# ffmpeg (an independent decoder) must find the right number of frames at the
# right size, with the picture intact.
#
#   encode_stream_test.sh native|wine WRITE_TEST_FRAMES HALVORINE_ENCODE WORK_DIR
#
# "wine" runs the two programs under the Wine fixture ($HALVORINE_WINE_STATE);
# ffmpeg always runs natively.
set -euo pipefail
mode=$1
writer=$(realpath "$2")
encoder=$(realpath "$3")
work=$4
root=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work"
cd "$work"

run() {
  if [ "$mode" = wine ]; then
    "$root/scripts/wine-exec" "$HALVORINE_WINE_STATE" "$@"
  else
    "$@"
  fi
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# psnr REFERENCE_ARGS... -- DISTORTED_ARGS... : prints "y u v average" in dB.
psnr() {
  local line
  line=$(ffmpeg -hide_banner -nostdin -loglevel info "$@" -lavfi '[1:v][0:v]psnr' -f null - 2>&1 |
    grep -o 'PSNR y:.*' | tail -n 1) || true
  [ -n "$line" ] || fail "ffmpeg computed no PSNR"
  echo "$line" | sed -E 's/PSNR y:([0-9.inf]+) u:([0-9.inf]+) v:([0-9.inf]+) average:([0-9.inf]+).*/\1 \2 \3 \4/'
}

at_least() {  # at_least VALUE MIN WHAT
  awk -v v="$1" -v m="$2" 'BEGIN { exit !(v == "inf" || v + 0 >= m + 0) }' ||
    fail "$3: $1 dB is below $2 dB"
}

check_stream() {  # check_stream WIDTH HEIGHT FRAMES [--full-change]
  local w=$1 h=$2 frames=$3 pw ph
  pw=$((w + w % 2))
  ph=$((h + h % 2))
  local name="${w}x${h}${4:-}"
  run "$writer" "${w}x${h}" "$frames" in.bgra ${4:-}
  local report
  report=$(run "$encoder" "${w}x${h}" in.bgra $through out.h264 2>encode.log | tr -d '\r') ||
    { cat encode.log >&2; fail "$name: halvorine-encode failed"; }
  echo "$name: $report"
  run "$encoder" "${w}x${h}" in.bgra --i420 ref.yuv >/dev/null 2>&1 || fail "$name: --i420 failed"
  [ "$(stat -c %s ref.yuv)" -eq $((frames * pw * ph * 3 / 2)) ] || fail "$name: I420 output size"

  local probe
  probe=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 out.h264)
  [ "$probe" = "h264,$pw,$ph,$frames" ] ||
    fail "$name: ffprobe says '$probe', expected 'h264,$pw,$ph,$frames'"
  # The stream says what the converter produced: BT.709, limited range.
  local colours
  colours=$(ffprobe -v error -select_streams v:0 \
    -show_entries stream=color_range,color_space,color_transfer,color_primaries -of csv=p=0 out.h264)
  [ "$colours" = "tv,bt709,bt709,bt709" ] ||
    fail "$name: ffprobe colours '$colours', expected 'tv,bt709,bt709,bt709'"

  # Encoder loss: decoded stream against our own I420 planes.
  local own
  own=$(psnr -f rawvideo -pix_fmt yuv420p -s "${pw}x${ph}" -i ref.yuv -i out.h264)
  echo "$name: PSNR against our I420 (y u v average): $own"
  at_least "$(echo "$own" | cut -d' ' -f4)" 38 "$name average PSNR"

  # Picture intact, judged without our converter: luma against ffmpeg's own
  # BT.709 limited-range conversion of the source (both cropped to the even
  # part of the source, which ffmpeg's 4:2:0 can hold).
  local independent cw=$((w - w % 2)) ch=$((h - h % 2))
  [ "$cw" -gt 0 ] && [ "$ch" -gt 0 ] || return 0
  independent=$(ffmpeg -hide_banner -nostdin -loglevel info \
    -f rawvideo -pix_fmt bgra -s "${w}x${h}" -i in.bgra -i out.h264 \
    -lavfi "[0:v]crop=${cw}:${ch}:0:0,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p[ref];[1:v]crop=${cw}:${ch}:0:0[dec];[dec][ref]psnr" \
    -f null - 2>&1 | grep -o 'PSNR y:[0-9.inf]*' | tail -n 1 | cut -d: -f2) || true
  [ -n "$independent" ] || fail "$name: no independent PSNR"
  echo "$name: luma PSNR against ffmpeg's conversion of the source: $independent"
  at_least "$independent" 35 "$name luma PSNR against the source"
}

through=
check_stream 1920 1080 5
check_stream 1920 1080 3 --full-change
check_stream 1365 767 3
check_stream 35 17 2

# The same through the worker's VideoEncoder: no hardware encoder here, so
# it falls back to OpenH264 and says so, and the stream is the same kind.
through=--video-encoder
for size in "1920 1080" "1365 767"; do
  set -- $size
  check_stream "$1" "$2" 3
  fallback="-> software openh264 (${1}x${2}@30fps)"
  grep -qF "ENCODER: hardware FAILED: init: " encode.log && grep -qF -- "$fallback" encode.log ||
    { cat encode.log >&2; fail "${1}x${2}: no fall-back line in the VideoEncoder's log"; }
  if [ "$mode" = native ]; then
    grep -qxF "ENCODER: hardware FAILED: init: No hardware H.264 encoder found (0xFFFFFFFF) $fallback" \
      encode.log || { cat encode.log >&2; fail "${1}x${2}: fall-back line differs"; }
  fi
done

# Clear errors and a non-zero exit for unusable input.
expect_error() {  # expect_error TEXT ARGS...
  local text=$1 out
  shift
  if out=$(run "$encoder" "$@" 2>&1); then fail "halvorine-encode $* succeeded"; fi
  echo "$out" | grep -qF "$text" || fail "halvorine-encode $*: '$out' lacks '$text'"
}
run "$writer" 64x48 2 small.bgra
head -c $((64 * 48 * 4 + 5)) small.bgra >short.bgra
expect_error "invalid size '64by48'" 64by48 small.bgra out.h264
expect_error "invalid size '0x48'" 0x48 small.bgra out.h264
expect_error "not a whole number of 64x48 BGRA frames" 64x48 short.bgra out.h264
expect_error "not a whole number of 48x64 BGRA frames" 48x64 short.bgra out.h264
expect_error "cannot read missing.bgra" 64x48 missing.bgra out.h264
expect_error "usage:" 64x48 small.bgra
echo "encode stream test passed"
