#!/usr/bin/env bash
# End to end under Wine: halvorine-capture.exe with the real DesktopDuplicator.
# Wine has no desktop duplication, so the tool must log the DXGI failure and
# the GDI-only lines with their exact texts, report GDI-only mode, and write
# an image equal (B, G, R) to an independent grab of the X screen (`xwd`)
# while a test window shows a known pattern; the still screen then gives no
# new frame, each GDI-only call taking at least 33 ms.
# usage: wine_capture_end_to_end.sh CAPTURE_EXE PATTERN_WINDOW_EXE TESTS_CAPTURE_DIR
#        (HALVORINE_WINE_STATE set; TESTS_CAPTURE_DIR holds xwd_to_bgra.py and compare_bgr.py)
set -euo pipefail
capture=$1 window=$2 helpers=$3
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

# shellcheck source=../../support/script_session.sh
. "$(dirname "$0")/../../support/script_session.sh"
session_start halvorine-capture-wine
fail() {
  echo "FAIL: $*" >&2
  echo "--- halvorine-capture stdout" >&2; cat "$work/stdout" >&2 || true
  echo "--- halvorine-capture stderr" >&2; cat "$work/stderr" >&2 || true
  exit 1
}

# The pattern: a 320 x 200 window at (100, 80) on the fixture's 1280 x 800 screen.
wine "$window" "$(winepath -w "$work/ready")" 100 80 320 200 120 >"$work/window.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do [ -s "$work/ready" ] && break; sleep 0.1; done
grep -qx 'ready 100 80 320 200' "$work/ready" 2>/dev/null || fail "the pattern window did not come up"

wine "$capture" --frames 3 --raw "$(winepath -w "$work/capture.bgra")" --png "$(winepath -w "$work/capture.png")" \
  >"$work/stdout" 2>"$work/stderr" || fail "halvorine-capture exited with $?"
xwd -root -silent -display "$DISPLAY" >"$work/root.xwd" || fail "xwd could not grab the X screen"

tr -d '\r' <"$work/stderr" >"$work/log"
grep -qE '^DesktopDuplicator: init DXGI esuat \(DuplicateOutput: .+ \(0x80004001\)\) — trec pe GDI-only$' \
  "$work/log" || fail "no DuplicateOutput failure line"
grep -qx 'DesktopDuplicator: mod GDI-only activ (1280x800)' "$work/log" || fail "no GDI-only line"
grep -q 'mode: GDI-only' "$work/stdout" || fail "the tool did not report GDI-only mode"
grep -q 'size: 1280x800' "$work/stdout" || fail "the tool did not report the 1280x800 size"
# The screen stays still: one frame, then nothing new, each call paced to 33 ms or more.
tr -d '\r' <"$work/stdout" >"$work/report"
grep -qE '^capture 1: frame 1280x800, 1 dirty rectangle\(s\): \[0,0,1280,800\]' "$work/report" ||
  fail "the first capture was not one full frame"
[ "$(grep -cE '^capture [23]: no new frame, ' "$work/report")" = 2 ] || fail "an unchanged screen gave new frames"
awk -F', ' '/^capture [23]: no new frame/ { sub(/ ms$/, "", $2); if ($2 + 0 < 33) bad = 1 } END { exit bad }' \
  "$work/report" || fail "a GDI-only capture took less than 33 ms"
[ "$(head -c 8 "$work/capture.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "no PNG written"

python3 "$helpers/xwd_to_bgra.py" "$work/root.xwd" "$work/root.bgra" || fail "xwd_to_bgra failed"
python3 "$helpers/compare_bgr.py" "$work/capture.bgra" "$work/root.bgra" 1280 ||
  fail "the capture differs from the X screen"
# Two black screens would compare equal too: the pattern must be in the capture.
python3 - "$work/capture.bgra" <<'PY' || fail "the pattern window is not in the capture"
import sys
data = open(sys.argv[1], "rb").read()
def bgr(x, y):
    i = (y * 1280 + x) * 4
    return tuple(data[i:i + 3])
# Block (0, 0) of the pattern is RGB(20, 90, 160); block (1, 0) is RGB(57, 90, 189).
sys.exit(0 if bgr(100, 80) == (160, 90, 20) and bgr(116, 80) == (189, 90, 57) else 1)
PY
echo "PASS: GDI-only capture under Wine equals the X screen"
grep '^DesktopDuplicator:' "$work/log"
