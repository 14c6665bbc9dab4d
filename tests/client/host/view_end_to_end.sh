#!/usr/bin/env bash
# halvorine-client view end to end on Linux, on two private Xvfb displays:
# the worker streams display A (1920x1080, playing the secure desktop) and
# injects into it; the view runs on display B (1280x800), so its window is
# the stream scaled down. Checks: the view waits for a worker started after
# it; its window matches A's screen (PSNR); a word typed into it with xdotool
# reaches an X client on A as the same key codes; a click lands at the
# matching point of A; a key held when the view is ended is released there.
# Then against a stand-in video pipe: a record longer than 64 MiB and bytes
# that are not H.264 each end their connection with a clear line, and a
# High-profile libx264 stream decodes and shows its last picture.
# usage: view_end_to_end.sh WORKER CLIENT X_TEST_PATTERN X_INPUT_RECORDER [PNG_OUT]
set -euo pipefail
worker=$1 client=$2 pattern=$3 recorder=$4 png_out=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
min_psnr=30

# shellcheck source=../../support/script_session.sh
. "$here/../../support/script_session.sh"
session_start halvorine-view-e2e
fail() {
  echo "FAIL: $*" >&2
  for file in view.err view2.err recorded; do echo "--- $file" >&2; cat "$work/$file" >&2 2>/dev/null || true; done
  exit 1
}
# Waits up to 20 s for COMMAND to succeed.
wait_until() {
  for _ in $(seq 1 200); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
psnr() {  # psnr A.png B.png: average PSNR in dB
  ffmpeg -v info -i "$1" -i "$2" -lavfi "[0:v]format=yuv444p[a];[1:v]format=yuv444p[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR.* average:\([0-9.a-z]*\).*/\1/p' | tail -n 1
}
at_least() { [ "$1" = inf ] || awk -v v="$1" -v m="$2" 'BEGIN { exit !(v >= m) }'; }
# The view's window on display B: "ID X Y W H".
view_window() {
  local id
  id=$(DISPLAY=$B xdotool search --name '^halvorine view' | head -n 1)
  [ -n "$id" ] || return 1
  DISPLAY=$B xdotool getwindowgeometry "$id" |
    awk -v id="$id" '/Position/ {split($2, p, ",")} /Geometry/ {split($2, g, "x")} END {print id, p[1], p[2], g[1], g[2]}'
}
title_has() { DISPLAY=$B xprop -id "$1" _NET_WM_NAME | grep -qF -- "$2"; }
# Grabs the view's window from display B into PNG.
grab_view() {
  read -r _ x y w h < <(view_window)
  DISPLAY=$B xwd -root -silent >"$work/b.xwd"
  ffmpeg -v error -y -i "$work/b.xwd" -vf "crop=$w:$h:$x:$y" "$1"
}

start_xvfb A 1920x1080
start_xvfb B 1280x800
mkdir -p "$work/programdata" "$work/pipes" "$work/fake"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes

echo "== the view starts first and waits for the worker"
DISPLAY=$B "$client" view 2>"$work/view.err" &
view_pid=$!
pids+=("$view_pid")
wait_until grep -q "waiting for the worker" "$work/view.err" || fail "the view does not say it waits"

mkfifo "$work/pattern.in"
DISPLAY=$A "$pattern" <"$work/pattern.in" >"$work/pattern.out" &
pids+=($!)
exec 4>"$work/pattern.in"
wait_until grep -qx 'ready 1920x1080' "$work/pattern.out" || fail "the test picture did not appear"
DISPLAY=$A xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
DISPLAY=$A "$worker" >"$work/worker.out" 2>&1 &
pids+=($!)

wait_until view_window || fail "no view window"
read -r window _ _ _ _ < <(view_window)
wait_until title_has "$window" "halvorine view — 1920x1080, " || fail "the title never showed the stream"
read -r _ _ _ width height < <(view_window)
title_has "$window" " fps, " && title_has "$window" " kbit/s" || fail "no frame rate or bit rate in the title"
[ "$width x $height" = "1280 x 720" ] || fail "window ${width}x$height, not the stream scaled to fit 1280x800"

echo "== the window shows display A's screen"
sleep 1
grab_view "$work/view.png"
DISPLAY=$A xwd -root -silent >"$work/a.xwd"
ffmpeg -v error -y -i "$work/a.xwd" -vf "scale=$width:$height:flags=area" "$work/a.png"
still=$(psnr "$work/view.png" "$work/a.png")
echo "PSNR view against display A: $still dB"
at_least "$still" "$min_psnr" || fail "PSNR $still below $min_psnr"
[ -n "$png_out" ] && cp "$work/view.png" "$png_out"

echo "== a word typed and a click in the view reach display A"
DISPLAY=$A "$recorder" "$work/recorded" &
pids+=($!)
wait_until grep -qx ready "$work/recorded" || fail "the X recorder did not start"
word=halvorine
# The key codes display B gives the word's letters.
expected=$(DISPLAY=$B xkbcomp -xkb "$B" - 2>/dev/null | perl -0ne '
  while (/<(\w+)>\s*=\s*(\d+);/g) { $code{$1} = $2 }
  while (/key <(\w+)>\s*\{[^}]*?symbols\[Group1\]=\s*\[\s*(\w+)\s*,/g) { $key{$2} = $code{$1} }
  print join(" ", map { $key{$_} } split //, "'"$word"'")')
DISPLAY=$B xdotool windowfocus --sync "$window"
DISPLAY=$B xdotool type --delay 40 "$word"
typed() { grep '^key press' "$work/recorded" | awk '{print $3}' | paste -sd' '; }
all_typed() { [ "$(typed | wc -w)" -ge "${#word}" ]; }
wait_until all_typed || fail "only '$(typed)' arrived for '$expected'"
[ "$(typed)" = "$expected" ] || fail "key codes '$(typed)' arrived, display B typed '$expected'"
grep -q '^key release 26 ' "$work/recorded" || fail "no key releases"
echo "typed '$word' as key codes $expected on B; display A received $(typed)"

clicks="100 100
640 360
1111 650"
while read -r x y; do
  DISPLAY=$B xdotool mousemove --window "$window" "$x" "$y" click 1
  want_x=$(((2 * x + 1) * 1920 / (2 * width))) want_y=$(((2 * y + 1) * 1080 / (2 * height)))
  wait_until grep -q "^button release 1 " <(tail -n 2 "$work/recorded") || fail "the click at $x,$y did not arrive"
  read -r _ _ _ got_x got_y < <(grep '^button release 1 ' "$work/recorded" | tail -n 1)
  echo "click at $x,$y in the view: display A at $got_x,$got_y (the point is $want_x,$want_y)"
  [ "${got_x#-}" -ge 0 ] && [ $((got_x - want_x)) -le 2 ] && [ $((want_x - got_x)) -le 2 ] &&
    [ $((got_y - want_y)) -le 2 ] && [ $((want_y - got_y)) -le 2 ] || fail "the click landed 2 px or more away"
  echo "marker" >>"$work/recorded"
done <<<"$clicks"

echo "== a key held when the view ends is released"
DISPLAY=$B xdotool keydown shift
wait_until grep -q '^key press 50 ' "$work/recorded" || fail "Shift did not arrive"
kill -TERM "$view_pid"
status=0
wait "$view_pid" || status=$?
[ "$status" -eq 0 ] || fail "the view ended with $status"
DISPLAY=$B xdotool keyup shift
wait_until grep -q '^key release 50 ' "$work/recorded" || fail "Shift was not released when the view ended"
grep -E '^view: records=[1-9][0-9]* .* latency_ms median=' "$work/view.err" || fail "no summary line"

echo "== bad records end their connection; a High-profile stream decodes"
ffmpeg -v error -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 45 -pix_fmt yuv420p \
  -vf scale=out_color_matrix=bt709:out_range=tv -colorspace bt709 -color_primaries bt709 -color_trc bt709 \
  -c:v libx264 -profile:v high -x264-params aud=1 "$work/high.h264"
ffprobe -v error -show_entries stream=profile -of csv=p=0 "$work/high.h264" | grep -qx High || fail "not a High-profile stream"
python3 "$here/record_server.py" "$work/fake/halvorine-secure-video" huge garbage "$work/high.h264" >"$work/server.out" &
pids+=($!)
wait_until grep -q listening "$work/server.out"
DISPLAY=$B HALVORINE_PIPE_DIR=$work/fake "$client" view --retry-ms 200 2>"$work/view2.err" &
pids+=($!)
wait_until grep -q "served $work/high.h264" "$work/server.out" || fail "the stand-in pipe did not serve everything"
wait_until grep -q 'waiting for the worker' "$work/view2.err" || fail "the view did not go back to waiting"
grep -F "record 1 announces 83886080 bytes, more than the 64 MiB a record may hold: closing the video pipe" \
  "$work/view2.err" || fail "no line for the oversized record"
grep -F "record 1 is not H.264 (it does not start with a start code (00 00 01)): closing the video pipe" \
  "$work/view2.err" || fail "no line for the bytes that are not H.264"
grep -F "does not decode" "$work/view2.err" && fail "records of the High-profile stream did not decode"
ffmpeg -v error -y -i "$work/high.h264" -update 1 "$work/high-last.png"
grab_view "$work/view-high.png"
high=$(psnr "$work/view-high.png" "$work/high-last.png")
echo "PSNR of the High-profile stream's last picture in the view against ffmpeg's: $high dB"
at_least "$high" "$min_psnr" || fail "PSNR $high below $min_psnr"
echo "PASS (PSNR $still dB against the screen, $high dB for the High-profile stream)"
