#!/usr/bin/env bash
# The secure desktop takes input only from a client installed beside the
# worker, under Wine with the test worker that takes its desktop ("Default":
# Wine cannot switch) as the secure one. The worker and a client share one
# folder of the build tree (Wine derives owners and access lists from the
# Unix owner and mode); a copy of the client in the prefix's temp folder is
# not beside it. The client beside it reaches a test window, the copy does
# not and is named once in the log. Both open the input pipe with
# GENERIC_READ | GENERIC_WRITE.
# usage: secure_input_wine_end_to_end.sh SECURE_TEST_WORKER_EXE CLIENT_EXE TEST_WINDOW_EXE   (HALVORINE_WINE_STATE set)
set -euo pipefail
worker=$1 client=$2 window=$3
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"
# shellcheck source=../../support/script_session.sh
. "$(dirname "$0")/../../support/script_session.sh"
session_start halvorine-secure-input-wine
trusted_dir installed "$(dirname "$worker")"
temp=$WINEPREFIX/drive_c/users/$(whoami)/Temp
trap 'session_cleanup; rm -rf "$installed" "$temp/halvorine-client.exe"' EXIT
chmod 755 "$installed" && mkdir -p "$temp"
cp "$worker" "$client" "$installed/" && cp "$client" "$temp/"
beside=$installed/halvorine-client.exe copy=$temp/halvorine-client.exe
log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log recorded=$work/recorded
fail() { echo "FAIL: $*" >&2; cat "$log" "$recorded" >&2 || true; exit 1; }

wine "$window" "$(winepath -w "$recorded")" 240 >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$recorded" 2>/dev/null && break; sleep 0.1; done
before=$({ wc -l <"$log"; } 2>/dev/null || echo 0)
wine "$installed/$(basename "$worker")" >/dev/null 2>&1 & pids+=($!)

# types CLIENT NAME VK EXPECTED: whether (yes/no) the window sees virtual key
# VK from CLIENT (a marker, F9, from the client beside the worker follows).
# A client stays a second after its messages, as a GUI stays.
types() {
  local start seen=no
  start=$(wc -l <"$recorded")
  wine "$1" input --no-server-check --retry-ms 20000 --hold-ms 1000 "key $2 down" "key $2 up" \
    "mouse 32768 32768 button=1 down" "mouse 32768 32768 button=1 up" || fail "$1 exited with $?"
  wine "$beside" input --no-server-check --retry-ms 20000 --hold-ms 1000 "key F9 down" "key F9 up" || fail "marker"
  keys() { tail -n +"$((start + 1))" "$recorded" | awk '/^key down/{print $3}'; }
  for _ in $(seq 1 300); do keys | grep -qx 0x78 && break; sleep 0.1; done
  keys | grep -qx 0x78 || fail "the marker did not arrive"
  keys | grep -qx "$3" && seen=yes
  [ "$seen" = "$4" ] || fail "$1 $2: seen=$seen, expected $4"
  echo "$(winepath -w "$1") $2 seen=$seen"
}
types "$beside" F5 0x74 yes
types "$copy" F6 0x75 no
lines=$(tail -n +"$((before + 1))" "$log" | tr -d '\r' | grep -F "nu e instalat langa worker - ignor inputul pe Winlogon")
echo "$lines"
[ "$(echo "$lines" | grep -cF "clientul $(winepath -w "$copy") ")" = 1 ] || fail "the copy was not named once"
[ "$(echo "$lines" | wc -l)" = 1 ] || fail "another client was named"
echo PASS
