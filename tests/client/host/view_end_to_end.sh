#!/usr/bin/env bash
# halvorine-client view end to end on Linux, on two private Xvfb displays:
# the worker streams display A (1920x1080, playing the secure desktop) and
# injects into it; the view runs on display B (1280x800), so its window is
# the stream scaled down. Checks: the view waits for a worker started after
# it; its window matches A's screen (PSNR); a word typed into it with xdotool
# reaches an X client on A as the same key codes; a click lands at the
# matching point of A; a key held when the view is ended is released there.
# Then against a stand-in video pipe: a record longer than 64 MiB, bytes that
# are not H.264 and streams larger than the worker sends (8K; 16 reference
# frames of 3840x2160) each end their connection with a clear line, and a
# High-profile libx264 stream decodes and shows its last picture. A damaged
# record is dropped until the next key frame, and a stream of them gives a
# few lines a second. Last, against an input pipe that is never read: 4000
# key presses, then SIGTERM; the view ends at once (the time is printed).
# usage: view_end_to_end.sh WORKER CLIENT X_TEST_PATTERN X_INPUT_RECORDER [PNG_OUT]
set -euo pipefail
worker=$1 client=$2 pattern=$3 recorder=$4 png_out=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
min_psnr=30

# shellcheck source=../../support/script_session.sh
. "$here/../../support/script_session.sh"
session_start halvorine-view-e2e
# The view types into the secure desktop: only a client installed beside the
# worker is followed there, so both run from one folder the worker trusts
# (one in the build tree, not /tmp, which everyone may write).
trusted_dir installed "$(dirname "$worker")"
cp "$worker" "$client" "$installed/"
worker=$installed/$(basename "$worker") client=$installed/$(basename "$client")
trap 'session_cleanup; rm -rf "$installed"' EXIT
fail() {
  echo "FAIL: $*" >&2
  for file in view.err view2.err view3.err view4.err recorded; do echo "--- $file" >&2; cat "$work/$file" >&2 2>/dev/null || true; done
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

releases() { grep -c '^button release 1 ' "$work/recorded" || true; }
released_more_than() { [ "$(releases)" -gt "$1" ]; }
clicks="100 100
640 360
1111 650"
while read -r x y; do
  before=$(releases)
  DISPLAY=$B xdotool mousemove --window "$window" "$x" "$y" click 1
  want_x=$(((2 * x + 1) * 1920 / (2 * width))) want_y=$(((2 * y + 1) * 1080 / (2 * height)))
  wait_until released_more_than "$before" || fail "the click at $x,$y did not arrive"
  read -r _ _ _ got_x got_y < <(grep '^button release 1 ' "$work/recorded" | tail -n 1)
  echo "click at $x,$y in the view: display A at $got_x,$got_y (the point is $want_x,$want_y)"
  [ "${got_x#-}" -ge 0 ] && [ $((got_x - want_x)) -le 2 ] && [ $((want_x - got_x)) -le 2 ] &&
    [ $((got_y - want_y)) -le 2 ] && [ $((want_y - got_y)) -le 2 ] || fail "the click landed 2 px or more away"
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
ffmpeg -v error -f lavfi -i color=size=7680x4320 -frames:v 1 -c:v libx264 -preset ultrafast -x264-params aud=1 \
  "$work/8k.h264"
ffmpeg -v error -f lavfi -i testsrc2=size=3840x2160 -frames:v 1 -c:v libx264 -preset ultrafast \
  -x264-params aud=1:ref=16 "$work/refs.h264"
python3 "$here/record_server.py" "$work/fake/halvorine-secure-video" huge garbage "$work/8k.h264" "$work/refs.h264" \
  "$work/high.h264" >"$work/server.out" &
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
grep -F "record 1 starts a stream the view does not take (pictures of 7680x4320, larger than 3840x2160)" \
  "$work/view2.err" || fail "no line for the 8K stream"
grep -F "record 1 starts a stream the view does not take (16 reference frames of 3840x2160, more than" \
  "$work/view2.err" || fail "no line for the stream of 16 reference frames"
grep -F "does not decode" "$work/view2.err" && fail "records of the High-profile stream did not decode"
ffmpeg -v error -y -i "$work/high.h264" -update 1 "$work/high-last.png"
grab_view "$work/view-high.png"
high=$(psnr "$work/view-high.png" "$work/high-last.png")
echo "PSNR of the High-profile stream's last picture in the view against ffmpeg's: $high dB"
at_least "$high" "$min_psnr" || fail "PSNR $high below $min_psnr"

echo "== a damaged record waits for the next key frame; a stream of them gives a few lines a second"
ffmpeg -v error -f lavfi -i testsrc2=size=960x540:rate=30 -frames:v 45 -pix_fmt yuv420p -c:v libx264 \
  -x264-params aud=1:slices=4:keyint=15:min-keyint=15:scenecut=0 "$work/keyed.h264"
# Record 11's second slice and the first record's (a key frame) scrambled.
python3 - "$work/keyed.h264" "$work/damaged.h264" "$work/damaged-key.h264" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
units, at = [], data.find(b"\x00\x00\x00\x01\x09")
while at >= 0:
    units.append(at)
    at = data.find(b"\x00\x00\x00\x01\x09", at + 1)
units.append(len(data))
def scrambled(unit):
    slices, at = [], unit.find(b"\x00\x00\x01", 5)
    while at >= 0:
        if unit[at + 3] & 0x1F in (1, 5):
            slices.append(at)
        at = unit.find(b"\x00\x00\x01", at + 3)
    start, end = slices[1] + 8, slices[2] if len(slices) > 2 else len(unit)
    middle = (start + end) // 2
    return unit[:middle] + bytes(b ^ 0x5A for b in unit[middle:end]) + unit[end:]
aus = [bytearray(data[a:b]) for a, b in zip(units, units[1:])]
aus[10] = scrambled(bytes(aus[10]))
open(sys.argv[2], "wb").write(b"".join(aus))
open(sys.argv[3], "wb").write(scrambled(bytes(aus[0])))
PY
mkdir -p "$work/fake3"
python3 "$here/record_server.py" "$work/fake3/halvorine-secure-video" "$work/damaged.h264" "60*$work/damaged-key.h264" \
  >"$work/server3.out" &
pids+=($!)
wait_until grep -q listening "$work/server3.out"
DISPLAY=$B HALVORINE_PIPE_DIR=$work/fake3 "$client" view --retry-ms 200 2>"$work/view3.err" &
view3_pid=$!
pids+=("$view3_pid")
wait_until grep -q "served 60\*" "$work/server3.out" || fail "the stand-in pipe did not serve the damaged streams"
wait_until grep -q "more lines about bad records were not shown" "$work/view3.err" ||
  fail "no count of the lines not shown"
grep -F "record 11 does not decode" "$work/view3.err" || fail "no line for the damaged record"
undecoded=$(grep -c "does not decode" "$work/view3.err")
echo "$undecoded lines for 61 records that do not decode; then: $(grep "not shown" "$work/view3.err")"
[ "$undecoded" -le 10 ] || fail "$undecoded lines about records that do not decode"
# The first stream resumed at its next key frame: pictures after the damage.
kill -TERM "$view3_pid"
wait "$view3_pid" || fail "the view ended with $?"
pictures=$(sed -n 's/^view: records=105 .* pictures=\([0-9]*\) .*/\1/p' "$work/view3.err")
echo "pictures decoded of 105 records (45 of the damaged stream): ${pictures:-none}"
[ "${pictures:-0}" -ge 30 ] || fail "the stream did not resume at its key frame"

echo "== an input pipe that is never read: 4000 key presses, then SIGTERM"
mkdir -p "$work/deaf"
python3 "$here/record_server.py" --never-read "$work/deaf/halvorine-input" >"$work/deaf.out" &
pids+=($!)
wait_until grep -q listening "$work/deaf.out"
DISPLAY=$B HALVORINE_PIPE_DIR=$work/deaf "$client" view 2>"$work/view4.err" &
view4_pid=$!
pids+=("$view4_pid")
wait_until grep -q accepted "$work/deaf.out" || fail "the view did not connect to the input pipe"
window4() { DISPLAY=$B xdotool search --all --onlyvisible --pid "$view4_pid" --name '^halvorine view' | head -n 1; }
wait_until window4 || fail "no window for the view"
# Sent to the window itself: other views' windows are on this display too.
DISPLAY=$B xdotool key --window "$(window4)" --delay 0 --repeat 4000 --repeat-delay 0 a 2>/dev/null
# The worker takes a few hundred; the first dropped one is reported at once.
wait_until grep -q "input pipe not read by the worker: 1 key or button message dropped" "$work/view4.err" ||
  fail "no line for the key messages dropped"
start=$(date +%s%N)
kill -TERM "$view4_pid"
status=0
wait "$view4_pid" || status=$?
exit_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 0 ] || fail "the view ended with $status"
echo "the view ended ${exit_ms} ms after SIGTERM; its lines about input:"
grep "input pipe" "$work/view4.err" || true
# A generous bound: the figure above is what counts.
[ "$exit_ms" -lt 5000 ] || fail "the view took ${exit_ms} ms to end"
# The rest of the drops, and what was still queued at the end, in a few lines.
[ "$(grep -c "input pipe" "$work/view4.err")" -le 12 ] || fail "too many lines about input"
echo "PASS (PSNR $still dB against the screen, $high dB for the High-profile stream; exit ${exit_ms} ms after SIGTERM)"
