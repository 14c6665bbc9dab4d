#!/usr/bin/env bash
# The release on a Windows without Media Foundation (N/KN editions, Server
# without its media feature), and then without Direct3D 11 and DXGI as well,
# under Wine with those DLLs disabled. From the installed layout, not the build
# tree: the worker starts, says "worker starting" and types a key into a test
# window; the test-only worker streams its desktop through OpenH264 (GDI-only
# capture), every record decodes, and the log says once why there is no
# hardware encoder; the client's view decodes with OpenH264.
# usage: without_media_foundation.sh BUILD_DIR TEST_WORKER_EXE INPUT_TEST_WINDOW_EXE
#        (HALVORINE_WINE_STATE set)
set -euo pipefail
build=$1 test_worker=$2 window=$3
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"
# shellcheck source=../support/script_session.sh
. "$(dirname "$0")/../support/script_session.sh"
session_start halvorine-no-mf

log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; tr -d '\r' <"$log" >&2 2>/dev/null || true
  for file in "$work"/*.err "$work"/recorded; do echo "--- $file" >&2; tr -d '\r' <"$file" >&2 2>/dev/null || true; done
  exit 1
}
wait_until() {  # up to 60 s
  for _ in $(seq 1 600); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
log_has() { tr -d '\r' <"$log" 2>/dev/null | grep -qF -- "$1"; }
log_count() { tr -d '\r' <"$log" 2>/dev/null | grep -cF -- "$1" || true; }
stop() {  # EXE PID
  wine taskkill /F /IM "$(basename "$1")" >/dev/null 2>&1 || true
  wait "$2" 2>/dev/null || true
}

release=$work/release
cmake --install "$build" --prefix "$release" >/dev/null || fail "cmake --install"
for exe in halvorine-worker halvorine-client; do [ -f "$release/$exe.exe" ] || fail "no $exe.exe installed"; done

wine "$window" "$(winepath -w "$work/recorded")" 600 >/dev/null 2>&1 &
pids+=($!)
wait_until grep -q '^ready' "$work/recorded" || fail "the test window did not start"

for disabled in mfplat mfplat,d3d11,dxgi; do
  echo "== without $disabled"
  overrides="$WINEDLLOVERRIDES;$disabled=d"
  rm -f "$log"
  WINEDLLOVERRIDES=$overrides wine "$release/halvorine-worker.exe" >"$work/worker.err" 2>&1 &
  worker_pid=$!
  pids+=("$worker_pid")
  wait_until log_has "worker starting" || fail "the installed worker did not start without $disabled"
  keys_before=$(grep -c '^key ' "$work/recorded" || true)
  for action in down up; do
    wine "$release/halvorine-client.exe" input --no-server-check --retry-ms 20000 "key KeyB $action" \
      2>>"$work/client.err" || fail "the client could not send KeyB $action"
  done
  key_arrived() { [ "$(tail -n +"$((keys_before + 1))" "$work/recorded" | grep -c '^key .* 0x42 ')" -ge 2 ]; }
  wait_until key_arrived || fail "KeyB did not reach the test window"
  stop halvorine-worker.exe "$worker_pid"

  rm -f "$log"
  WINEDLLOVERRIDES=$overrides wine "$test_worker" >"$work/test-worker.err" 2>&1 &
  worker_pid=$!
  pids+=("$worker_pid")
  wait_until log_has "secure-stream: encoder pornit" || fail "the test worker started no encoder"
  timeout 60 wine "$release/halvorine-client.exe" video --no-server-check --retry-ms 10000 --frames 3 \
    --out "$(winepath -w "$work/stream.h264")" 2>>"$work/client.err" || fail "recording failed"
  decoded=$(ffmpeg -v error -f h264 -i "$work/stream.h264" -fps_mode passthrough -f rawvideo -pix_fmt gray - |
    wc -c)
  [ "$decoded" -eq $((3 * 1280 * 800)) ] || fail "3 records did not decode to 3 pictures ($decoded bytes)"
  missing="ENCODER: Media Foundation lipseste (mfplat.dll: "
  [ "$(log_count "$missing")" = 1 ] || fail "'$missing…' is not in the log once"
  log_has "SW: preset software" || fail "no software encoder in the log"
  tr -d '\r' <"$log" | grep -F "$missing"
  if [ "$disabled" != mfplat ]; then
    log_has "DesktopDuplicator: init DXGI esuat (CreateDXGIFactory1: dxgi.dll: " ||
      fail "the duplicator does not say that dxgi.dll is missing"
    tr -d '\r' <"$log" | grep -F "init DXGI esuat"
  fi
  log_has "DesktopDuplicator: mod GDI-only activ" || fail "capture is not GDI-only"

  if [ "$disabled" = mfplat ]; then
    echo "== the view decodes with OpenH264 without Media Foundation"
    WINEDLLOVERRIDES=$overrides wine "$release/halvorine-client.exe" view --no-server-check 2>"$work/view.err" &
    view_pid=$!
    pids+=("$view_pid")
    title_has() { xprop -id "$(xdotool search --name '^halvorine view' | head -n 1)" _NET_WM_NAME | grep -qF -- "$1"; }
    wait_until title_has "halvorine view — 1280x800, " || fail "the view showed no stream"
    tr -d '\r' <"$work/view.err" | grep -F "no Media Foundation H.264 decoder (mfplat.dll: " ||
      fail "the view does not say why it decodes with OpenH264"
    kill "$view_pid" 2>/dev/null || true
    wait "$view_pid" 2>/dev/null || true
  fi
  stop "$(basename "$test_worker")" "$worker_pid"
done
echo "PASS: the release starts, injects and streams without Media Foundation, Direct3D 11 and DXGI"
