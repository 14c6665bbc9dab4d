#!/usr/bin/env bash
# The secure desktop takes input only from a client installed beside the
# worker, end to end under Wine, with the test worker that takes its desktop
# ("Default": Wine cannot switch) as the secure one. The worker and a client
# are copied into one folder of the build tree (Wine derives owners and
# access lists from the Unix owner and mode: nobody else may write there); a
# copy of the client in the prefix's temp folder is not beside the worker.
# The client beside it reaches a test window, the copy does not and is named
# once in the log. Both open the input pipe with GENERIC_READ | GENERIC_WRITE.
# usage: secure_input_wine_end_to_end.sh SECURE_TEST_WORKER_EXE CLIENT_EXE TEST_WINDOW_EXE   (HALVORINE_WINE_STATE set)
set -euo pipefail
worker=$1 client=$2 window=$3
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

work=$(mktemp -d /tmp/halvorine-secure-input-wine.XXXXXX)
installed=$(mktemp -d "$(dirname "$worker")/secure-input-e2e.XXXXXX")
chmod 755 "$installed"
temp=$WINEPREFIX/drive_c/users/$(whoami)/Temp
mkdir -p "$temp"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$installed" "$temp/halvorine-client.exe"
}
trap cleanup EXIT

log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
recorded=$work/recorded
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$log" >&2 || true
  echo "--- test window" >&2; cat "$recorded" >&2 || true
  exit 1
}

cp "$worker" "$installed/halvorine-worker-secure-test.exe"
cp "$client" "$installed/halvorine-client.exe"
cp "$client" "$temp/halvorine-client.exe"
beside=$installed/halvorine-client.exe copy=$temp/halvorine-client.exe

wine "$window" "$(winepath -w "$recorded")" 240 >"$work/window.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 600); do grep -q '^ready' "$recorded" 2>/dev/null && break; sleep 0.1; done
grep -q '^ready' "$recorded" || fail "the test window did not start"

before=$(grep -c "" "$log" 2>/dev/null || true)
wine "$installed/halvorine-worker-secure-test.exe" >"$work/worker.out" 2>&1 &
pids+=($!)

count() { wc -l <"$recorded"; }
keys_after() { tail -n +"$(($1 + 1))" "$recorded" | awk '/^key down/{print $3}'; }
# types CLIENT VK NAME EXPECTED: CLIENT presses and releases NAME (and clicks);
# the window must (yes) or must not (no) see virtual key VK. A client stays a
# second after its messages, as a GUI stays: one already gone when the worker
# identifies it is not trusted.
types() {
  local client=$1 vk=$2 name=$3 expected=$4 start seen=no
  start=$(count)
  wine "$client" input --no-server-check --retry-ms 20000 --hold-ms 1000 "key $name down" "key $name up" \
    "mouse 32768 32768 button=1 down" "mouse 32768 32768 button=1 up" || fail "$client exited with $?"
  # A marker from the client beside the worker: what came before is injected.
  wine "$beside" input --no-server-check --retry-ms 20000 --hold-ms 1000 "key F9 down" "key F9 up" || fail "marker"
  for _ in $(seq 1 300); do keys_after "$start" | grep -qx 0x78 && break; sleep 0.1; done
  keys_after "$start" | grep -qx 0x78 || fail "the marker from beside the worker did not arrive"
  keys_after "$start" | grep -qx "$vk" && seen=yes
  [ "$seen" = "$expected" ] || fail "$client $name: seen=$seen, expected $expected"
  echo "$(winepath -w "$client") $name seen=$seen"
}

types "$beside" 0x74 F5 yes
types "$copy" 0x75 F6 no
copy_path=$(winepath -w "$copy")
tail -n +"$((before + 1))" "$log" | grep -F "inject: clientul " || true
line="nu e instalat langa worker - ignor inputul pe Winlogon"
[ "$(tail -n +"$((before + 1))" "$log" | grep -F -- "$line" | grep -cF "halvorine-client.exe")" = 1 ] ||
  fail "expected one line naming the copy ($copy_path)"
tail -n +"$((before + 1))" "$log" | grep -F -- "$line" | grep -qiF "secure-input-e2e" &&
  fail "the client beside the worker was named as untrusted"
echo "PASS"
