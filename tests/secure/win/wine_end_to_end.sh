#!/usr/bin/env bash
# The video half end to end under Wine. Wine's input desktop is always
# "Default" and it cannot switch desktops, so:
#  - the product worker must not stream at all (it waits for "Winlogon");
#  - the test-only worker, whose streamed desktop is "Default" from its build,
#    runs the real loop, GDI-only capture and the encoder facade (OpenH264):
#    a known picture on the 1280x800 screen is recorded by halvorine-client.exe,
#    every record decodes with ffmpeg, the picture matches the X screen, GUIs
#    that leave are noticed and a newly connected GUI decodes its first record.
# usage: wine_end_to_end.sh WORKER_EXE TEST_WORKER_EXE CLIENT_EXE PATTERN_WINDOW_EXE
#        (HALVORINE_WINE_STATE set)
set -euo pipefail
product=$1 worker=$2 client=$3 window=$4
min_psnr=35
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

work=$(mktemp -d /tmp/halvorine-video-wine.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$log" >&2 || true
  exit 1
}
log_count() { tr -d '\r' 2>/dev/null <"$log" | grep -cF -- "$1" || true; }
wait_for_line() {
  local line=$1 count=${2:-1}
  for _ in $(seq 1 600); do
    [ "$(log_count "$line")" -ge "$count" ] && return 0
    sleep 0.1
  done
  fail "no '$line' (x$count) in the log"
}

wine "$window" "$(winepath -w "$work/ready")" 0 0 1280 800 240 >"$work/window.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do [ -s "$work/ready" ] && break; sleep 0.1; done
grep -qx 'ready 0 0 1280 800' "$work/ready" 2>/dev/null || fail "the pattern window did not come up"

echo "== the product worker does not stream Wine's \"Default\" desktop"
rm -f "$log"
wine "$product" >"$work/product.out" 2>&1 &
product_pid=$!
pids+=($product_pid)
wait_for_line "waiting for client"
sleep 3
[ "$(log_count "secure-capture:")" = 0 ] || fail "the product worker streams a desktop that is not Winlogon"
kill "$product_pid"
wait "$product_pid" 2>/dev/null || true
for _ in $(seq 1 100); do
  wine "$client" video --no-server-check --connect-only >/dev/null 2>&1 || break  # gone once nobody serves the pipe
  sleep 0.1
done

echo "== the test-only worker streams it"
rm -f "$log"
wine "$worker" >"$work/worker.out" 2>&1 &
pids+=($!)
wait_for_line "secure-capture: DesktopDuplicator pornit pe Winlogon (1280x800)"
wait_for_line "secure-stream: encoder pornit 1280x800 30fps 6000kbps"

record() {
  local frames=$1 file=$2
  timeout 60 wine "$client" video --no-server-check --retry-ms 10000 --frames "$frames" --out "$(winepath -w "$file")" \
    2>>"$work/client.err" || fail "client exited with $? recording $file"
}
decoded_frames() {
  ffmpeg -v error -f h264 -i "$1" -fps_mode passthrough -f rawvideo -pix_fmt gray - 2>"$work/ffmpeg.err" |
    wc -c | awk '{print $1 / (1280 * 800)}'
}

record 3 "$work/still.h264"
[ "$(decoded_frames "$work/still.h264")" = 3 ] || fail "not every record decodes: $(cat "$work/ffmpeg.err")"
xwd -root -silent -display "$DISPLAY" >"$work/screen.xwd"
ffmpeg -v error -y -f h264 -i "$work/still.h264" -fps_mode passthrough -update 1 "$work/last.png"
psnr=$(ffmpeg -v info -i "$work/last.png" -i "$work/screen.xwd" \
  -lavfi "[0:v]format=yuv444p[a];[1:v]format=yuv444p[b];[a][b]psnr" -f null - 2>&1 |
  sed -n 's/.*PSNR.* average:\([0-9.a-z]*\).*/\1/p' | tail -n 1)
echo "PSNR: $psnr dB"
[ "$psnr" = inf ] || awk -v v="$psnr" -v m="$min_psnr" 'BEGIN { exit !(v >= m) }' || fail "PSNR $psnr below $min_psnr"

echo "== GUIs that leave are noticed, a new GUI decodes its first record"
gone=$(log_count "secure-stream: GUI deconectat de la pipe-ul video")
for i in 1 2 3; do
  wine "$client" video --no-server-check --retry-ms 10000 --connect-only 2>>"$work/client.err" || fail "GUI $i refused (status $?)"
  wait_for_line "secure-stream: GUI deconectat de la pipe-ul video" "$((gone + i))"
done
for i in 1 2; do
  record 1 "$work/joined.h264"
  [ "$(decoded_frames "$work/joined.h264")" = 1 ] || fail "GUI $i cannot decode its first record"
done
tr -d '\r' <"$log" | grep -F "encode err" && fail "encode errors in the log"
echo "PASS (PSNR $psnr dB)"
