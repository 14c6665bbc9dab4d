#!/usr/bin/env bash
# halvorine-client view (Windows build) end to end under Wine, against the
# test-only worker, which streams Wine's only desktop. That desktop holds the
# view's own window, so the view shows itself inside itself; once that
# settles, its window matches the screen scaled to it (compared where no
# window covers it). Then, with a test window in the foreground, a key and a
# click posted to the view reach that window through the input pipe. Last,
# with the worker gone, against a stand-in video pipe: a record longer than
# 64 MiB and bytes that are not H.264 end their connection with a clear line,
# and a High-profile libx264 stream decodes and shows its last picture.
# usage: view_wine_end_to_end.sh TEST_WORKER_EXE CLIENT_EXE PATTERN_WINDOW_EXE INPUT_TEST_WINDOW_EXE VIEW_POKE_EXE
#        RECORD_FEEDER_EXE (HALVORINE_WINE_STATE set)
set -euo pipefail
worker=$1 client=$2 pattern=$3 window=$4 poke=$5 feeder=$6
min_psnr=30
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

# shellcheck source=../../support/script_session.sh
. "$(dirname "$0")/../../support/script_session.sh"
session_start halvorine-view-wine
# The test worker takes its desktop as the secure one, where only a client
# installed beside it is followed: both run from one folder of the build tree.
trusted_dir installed "$(dirname "$worker")"
cp "$worker" "$client" "$installed/"
worker=$installed/$(basename "$worker") client=$installed/$(basename "$client")
trap 'session_cleanup; rm -rf "$installed"' EXIT
fail() {
  echo "FAIL: $*" >&2
  for file in view.err recorded; do echo "--- $file" >&2; tr -d '\r' <"$work/$file" >&2 2>/dev/null || true; done
  exit 1
}
wait_until() {  # up to 60 s
  for _ in $(seq 1 600); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
title_has() { xprop -id "$(xdotool search --name '^halvorine view' | head -n 1)" _NET_WM_NAME | grep -qF -- "$1"; }
log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log

wine "$client" view --no-server-check 2>"$work/view.err" &
view_pid=$!
pids+=("$view_pid")
wine "$worker" >/dev/null 2>&1 &
worker_pid=$!
pids+=("$worker_pid")
wait_until title_has "halvorine view — 1280x800, " || fail "the view's title never showed the stream"
decoder="Media Foundation"
tr -d '\r' <"$work/view.err" | grep -q 'using OpenH264\|switching to OpenH264' && decoder=OpenH264
echo "decoder: $decoder"

echo "== the view's window against the screen"
# A known picture on the right of the screen, over the view (started after
# it: without a window manager Wine keeps no window above a newer one).
wine "$pattern" "$(winepath -w "$work/ready")" 800 0 480 800 240 >/dev/null 2>&1 &
pids+=($!)
wait_until grep -q '^ready' "$work/ready" || fail "the pattern window did not come up"
sleep 5  # the picture of itself inside itself settles
read -r _ x y w h < <(wine "$poke" rect | tr -d '\r')
visible=$((800 - x < w ? 800 - x : w))
xwd -root -silent >"$work/screen.xwd"
ffmpeg -v error -y -i "$work/screen.xwd" -vf "crop=$visible:$h:$x:$y" "$work/view.png"
ffmpeg -v error -y -i "$work/screen.xwd" -vf "scale=$w:$h:flags=area,crop=$visible:$h:0:0" "$work/screen.png"
psnr_of() {
  ffmpeg -v info -i "$1" -i "$2" -lavfi "[0:v]format=yuv444p[a];[1:v]format=yuv444p[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR.* average:\([0-9.a-z]*\).*/\1/p' | tail -n 1
}
psnr=$(psnr_of "$work/view.png" "$work/screen.png")
echo "client area ${w}x$h at $x,$y; PSNR of its uncovered ${visible}x$h against the screen: $psnr dB"
[ "$psnr" = inf ] || awk -v v="$psnr" -v m="$min_psnr" 'BEGIN { exit !(v >= m) }' || fail "PSNR $psnr below $min_psnr"

echo "== a key and a click through the view reach a test window"
wine "$window" "$(winepath -w "$work/recorded")" 60 >/dev/null 2>&1 &
window_pid=$!
pids+=("$window_pid")
wait_until grep -q '^ready' "$work/recorded" || fail "the test window did not start"
for message in "key 0x1E 0 down" "key 0x1E 0 up" "key 0x48 1 down" "key 0x48 1 up" "click $((w / 2)) $((h / 3))"; do
  # shellcheck disable=SC2086
  wine "$poke" $message || fail "view_poke $message"
done
want_x=$(((2 * (w / 2) + 1) * 1280 / (2 * w))) want_y=$(((2 * (h / 3) + 1) * 800 / (2 * h)))
keys() { tr -d '\r' <"$work/recorded" | grep '^key ' | awk '{print $2, $3, $4}' | paste -sd';'; }
keys_arrived() { [ "$(keys)" = "down 0x41 0;up 0x41 0;down 0x26 1;up 0x26 1" ]; }
wait_until keys_arrived || fail "keys arrived as '$(keys)'"
wait_until grep -q '^button left up' "$work/recorded" || fail "the click did not arrive"
read -r _ _ _ got_x got_y < <(tr -d '\r' <"$work/recorded" | grep '^button left down' | tail -n 1)
echo "KeyA and ArrowUp arrived; the click at the client's $((w / 2)),$((h / 3)) landed at $got_x,$got_y (the point is $want_x,$want_y)"
[ $((got_x - want_x)) -le 2 ] && [ $((want_x - got_x)) -le 2 ] && [ $((got_y - want_y)) -le 2 ] &&
  [ $((want_y - got_y)) -le 2 ] || fail "the click landed 2 px or more away"

echo "== bad records end their connection; a High-profile stream decodes"
kill "$window_pid" 2>/dev/null || true
wine taskkill /F /IM "$(basename "$worker")" >/dev/null 2>&1 || true
wait "$worker_pid" 2>/dev/null || true
# Small enough to be drawn 1:1 in Wine's work area.
ffmpeg -v error -f lavfi -i testsrc2=size=960x540:rate=30 -frames:v 45 -pix_fmt yuv420p \
  -vf scale=out_color_matrix=bt709:out_range=tv -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
  -c:v libx264 -profile:v high -x264-params aud=1 "$work/high.h264"
waits() { tr -d '\r' <"$work/view.err" | grep -c 'waiting for the worker' || true; }
more_waits() { [ "$(waits)" -gt "$1" ]; }
before=$(waits)
wine "$feeder" huge garbage "$(winepath -w "$work/high.h264")" >"$work/feeder.out" 2>&1 &
pids+=($!)
wait_until grep -q 'served .*high.h264' "$work/feeder.out" || fail "the stand-in pipe did not serve everything"
wait_until more_waits "$before" ||
  fail "the view did not go back to waiting"
view_said() { tr -d '\r' <"$work/view.err" | grep -qF -- "$1"; }
view_said "record 1 announces 83886080 bytes, more than the 64 MiB a record may hold: closing the video pipe" ||
  fail "no line for the oversized record"
view_said "record 1 is not H.264 (it does not start with a start code (00 00 01)): closing the video pipe" ||
  fail "no line for the bytes that are not H.264"
view_said "does not decode" && fail "records of the High-profile stream did not decode"
read -r _ x y w h < <(wine "$poke" rect | tr -d '\r')
visible=$((800 - x < w ? 800 - x : w))
xwd -root -silent >"$work/screen.xwd"
[ "$h" -eq 540 ] || echo "(the decoder gives ${w}x$h pictures for the 960x540 stream: compared where both have rows)"
h=$((h < 540 ? h : 540))
ffmpeg -v error -y -i "$work/screen.xwd" -vf "crop=$visible:$h:$x:$y" "$work/view-high.png"
ffmpeg -v error -y -i "$work/high.h264" -vf "crop=$visible:$h:0:0" -update 1 "$work/high-last.png"
high=$(psnr_of "$work/view-high.png" "$work/high-last.png")
echo "PSNR of the High-profile stream's last picture (${w}x$h in the view) against ffmpeg's: $high dB"
[ "$high" = inf ] || awk -v v="$high" -v m="$min_psnr" 'BEGIN { exit !(v >= m) }' || fail "PSNR $high below $min_psnr"

wine "$poke" close
status=0
wait "$view_pid" || status=$?
[ "$status" -eq 0 ] || fail "the view ended with $status"
tr -d '\r' <"$work/view.err" | grep -E '^view: records=[1-9]' || fail "no summary line"
tr -d '\r' <"$log" | grep -F "encode err" && fail "encode errors in the worker's log"
echo "PASS (PSNR $psnr dB against the screen, $high dB for the High-profile stream; decoder $decoder)"
