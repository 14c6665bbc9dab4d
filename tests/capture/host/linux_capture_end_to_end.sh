#!/usr/bin/env bash
# halvorine-capture on a private Xvfb, in duplication and in GDI-only mode
# (an output the display does not have), against an independent grab of the
# root window by xwd: the same pixels; a small change reported as a small
# dirty rectangle; an unchanged screen giving no new frame; a pointer move
# giving a pointer-only update; clear failures for bad input.
# usage: linux_capture_end_to_end.sh HALVORINE_CAPTURE X_TEST_PATTERN
set -euo pipefail
capture=$1 pattern=$2
here=$(cd "$(dirname "$0")/.." && pwd)

# shellcheck source=../../support/script_session.sh
. "$here/../support/script_session.sh"
session_start halvorine-capture-e2e
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out "$work"/*.err; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
  exit 1
}
start_xvfb DISPLAY 1280x800
export DISPLAY

# The test picture (x_test_pattern) reads commands from a pipe kept open on descriptor 4.
mkfifo "$work/commands"
"$pattern" <"$work/commands" >"$work/pattern.out" 2>&1 &
pids+=($!)
exec 4>"$work/commands"
for _ in $(seq 1 600); do grep -q '^ready' "$work/pattern.out" && break; sleep 0.05; done
grep -qx 'ready 1280x800' "$work/pattern.out" || fail "the test picture did not appear"
mark() {  # N: draws marker N (16 blocks at the top left, put as one 648x40 area) and waits for it
  echo "mark $1" >&4
  for _ in $(seq 1 600); do grep -q "^drawn $1 " "$work/pattern.out" && return 0; sleep 0.05; done
  fail "marker $1 was not drawn"
}
mark 0  # the picture answers its first exposure with a whole repaint: done before any capture
# A loaded Xvfb refuses a share of new connections outright; X tools retry.
x_tool() { for _ in 1 2 3 4 5; do "$@" && return 0; sleep 0.1; done; return 1; }
x_tool xdotool mousemove 1279 799 || fail "xdotool"  # the pointer out of the way, and still

independent_grab() {  # OUT.bgra
  x_tool xwd -root -silent >"$work/root.xwd" || fail "xwd failed"
  [ "$(python3 "$here/xwd_to_bgra.py" "$work/root.xwd" "$1")" = 1280x800 ] || fail "xwd gave another size"
}
same_pixels() {  # A B WHAT
  python3 "$here/compare_bgr.py" "$1" "$2" 1280 >"$work/compare.txt" || fail "$3: $(cat "$work/compare.txt")"
}

# --- both modes give exactly the root window's pixels --------------------------
"$capture" --raw "$work/dup.bgra" --png "$work/dup.png" >"$work/dup.out" 2>"$work/dup.err" || fail "duplication run"
grep -qx "mode: duplication" "$work/dup.out" || fail "not in duplication mode"
grep -qx "size: 1280x800" "$work/dup.out" || fail "duplication size"
[ ! -s "$work/dup.err" ] || fail "duplication mode logged something"
independent_grab "$work/root.bgra"
same_pixels "$work/dup.bgra" "$work/root.bgra" "duplication pixels"
# The PNG holds the same image (decoded by ffmpeg, independently).
ffmpeg -v error -i "$work/dup.png" -f rawvideo -pix_fmt bgra -y "$work/png.bgra" || fail "ffmpeg cannot read the PNG"
same_pixels "$work/png.bgra" "$work/root.bgra" "PNG pixels"

# The full refresh capture of a duplicating duplicator: the same pixels.
"$capture" --full --raw "$work/full.bgra" >"$work/full.out" 2>&1 || fail "full capture run"
same_pixels "$work/full.bgra" "$work/root.bgra" "full capture pixels"

"$capture" --output 1 --raw "$work/gdi.bgra" >"$work/gdi.out" 2>"$work/gdi.err" || fail "GDI-only run"
grep -qx "mode: GDI-only" "$work/gdi.out" || fail "not in GDI-only mode"
mapfile -t lines <"$work/gdi.err"
[ "${#lines[@]}" -eq 2 ] || fail "GDI-only mode should log two lines"
[[ ${lines[0]} == "DesktopDuplicator: init DXGI esuat (EnumOutputs(search): no DXGI output: "*") — trec pe GDI-only" ]] ||
  fail "first GDI-only line: ${lines[0]}"
[ "${lines[1]}" = "DesktopDuplicator: mod GDI-only activ (1280x800)" ] || fail "second GDI-only line: ${lines[1]}"
same_pixels "$work/gdi.bgra" "$work/root.bgra" "GDI-only pixels"

# --- an unchanged screen: one frame, then nothing -------------------------------
for output in 0 1; do
  "$capture" --output "$output" --frames 5 >"$work/still.out" 2>/dev/null || fail "unchanged run"
  grep -q "^capture 1: frame 1280x800, 1 dirty rectangle(s): \[0,0,1280,800\]" "$work/still.out" ||
    fail "output $output: the first capture is not the whole screen"
  [ "$(grep -c '^capture [2-5]: no new frame' "$work/still.out")" -eq 4 ] ||
    fail "output $output: an unchanged screen gave frames"
done

# --- a small change: a small dirty rectangle; the image follows -----------------
"$capture" --duration-ms 3000 --raw "$work/change.bgra" >"$work/change.out" 2>"$work/change.err" &
capture_pid=$!
for _ in $(seq 1 600); do grep -q "^capture 1: frame" "$work/change.out" && break; sleep 0.05; done
grep -q "^capture 1: frame" "$work/change.out" || fail "the running capture did not start"
mark 1
sleep 0.5
x_tool xdotool mousemove 700 500 || fail "xdotool"
sleep 0.5
wait "$capture_pid" || fail "the running capture failed"
changes=$(grep -v '^capture 1:' "$work/change.out" | grep '^capture [0-9]*: frame' || true)
[ "$(echo "$changes" | grep -c .)" -eq 1 ] || fail "one change should give exactly one frame: $changes"
[[ $changes == *"1 dirty rectangle(s): [0,0,648,40]"* ]] || fail "the dirty rectangle is not the change: $changes"
grep -q '^capture [0-9]*: pointer only at 700,500' "$work/change.out" || fail "no pointer-only update for the move"
independent_grab "$work/root2.bgra"
same_pixels "$work/change.bgra" "$work/root2.bgra" "pixels after the change"
if python3 "$here/compare_bgr.py" "$work/root.bgra" "$work/root2.bgra" 1280 >/dev/null; then
  fail "the change did not reach the screen"
fi

# --- bad input --------------------------------------------------------------------
set +e
"$capture" --frames 0 >/dev/null 2>"$work/bad.err"; status=$?
[ "$status" -eq 2 ] && grep -q '^usage:' "$work/bad.err" || fail "bad arguments: exit $status"
"$capture" --frames 2 --duration-ms 10 >/dev/null 2>&1; [ $? -eq 2 ] || fail "--frames with --duration-ms accepted"
"$capture" --raw "$work/no/such/dir/x.bgra" >/dev/null 2>"$work/unwritable.err"; status=$?
[ "$status" -eq 1 ] && grep -q "cannot write $work/no/such/dir/x.bgra: " "$work/unwritable.err" ||
  fail "unwritable output: exit $status"
DISPLAY= "$capture" --raw "$work/none.bgra" >/dev/null 2>"$work/nodisplay.err"; status=$?
[ "$status" -eq 1 ] && grep -q "no display" "$work/nodisplay.err" || fail "missing display: exit $status"
grep -q 'init DXGI esuat (CreateDXGIFactory1: cannot open the X display' "$work/nodisplay.err" ||
  fail "missing display: no set-up failure logged"
set -e

# --- the X server goes away under a running capture: an error or no frame, no crash
xvfb_pid=${pids[0]}
"$capture" --duration-ms 4000 >"$work/gone_dup.out" 2>"$work/gone_dup.err" &
gone_dup=$!
"$capture" --output 1 --duration-ms 4000 --raw "$work/gone_gdi.bgra" >"$work/gone_gdi.out" 2>"$work/gone_gdi.err" &
gone_gdi=$!
for _ in $(seq 1 600); do
  grep -q "^capture 1:" "$work/gone_dup.out" && grep -q "^capture 1:" "$work/gone_gdi.out" && break
  sleep 0.05
done
kill "$xvfb_pid"
set +e
wait "$gone_dup"; dup_status=$?
wait "$gone_gdi"; gdi_status=$?
set -e
[ "$dup_status" -eq 1 ] && grep -q "capture failed: the X display connection is lost" "$work/gone_dup.err" ||
  fail "duplication after the server went: exit $dup_status"
# GDI-only mode reports no new frames and still writes the image it had.
[ "$gdi_status" -eq 0 ] && grep -q "no new frame" "$work/gone_gdi.out" || fail "GDI-only after the server went: exit $gdi_status"
echo "linux capture end to end: ok"
