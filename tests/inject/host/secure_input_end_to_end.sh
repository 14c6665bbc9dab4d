#!/usr/bin/env bash
# The secure desktop takes input only from a client installed beside the
# worker, end to end on Linux: `cmake --install` into a fresh folder of root
# (the worker runs as root), the worker started from there on a private Xvfb.
# On "Default" the installed client and a copy of it in /tmp both reach an X
# client; with _HALVORINE_DESKTOP = Winlogon only the installed one does, and
# the copy's input is dropped with one line naming it.
# usage: secure_input_end_to_end.sh BUILD_DIR X_INPUT_RECORDER
set -euo pipefail
build=$1 recorder=$2
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: the worker must run as root, from a folder of root" >&2
  exit 77
fi

work=$(mktemp -d /tmp/halvorine-secure-input-e2e.XXXXXX)
# Root's folder inside the build tree, whose folders nobody else may write.
installed=$(mktemp -d "$build/secure-input-e2e.XXXXXX")
chmod 755 "$installed"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work" "$installed"
}
trap cleanup EXIT
log=$work/programdata/Halvorine/halvorine-worker.log
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$log" >&2 || true
  echo "--- recorder" >&2; cat "$work/recorded" >&2 || true
  exit 1
}

cmake --install "$build" --prefix "$installed" >"$work/install.out" 2>&1 || { cat "$work/install.out" >&2; fail "cmake --install"; }
beside=$installed/bin/halvorine-client
copy=$work/halvorine-client
cp "$beside" "$copy"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
"$recorder" "$work/recorded" &
pids+=($!)
for _ in $(seq 1 300); do grep -qx ready "$work/recorded" 2>/dev/null && break; sleep 0.1; done
grep -qx ready "$work/recorded" || fail "the X recorder did not start"

mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$installed/bin/halvorine-worker" >"$work/worker.out" 2>&1 &
pids+=($!)

# keys_after START: the key presses recorded after line START, as "press KEYSYM".
keys_after() { tail -n +"$(($1 + 1))" "$work/recorded" | awk '/^key press/{print $4}'; }
# Each client stays a second after its messages, as a GUI stays: one that
# has already ended when the worker identifies it is not trusted.
# types CLIENT KEY DESKTOP EXPECTED: CLIENT presses and releases KEY; the X
# client must (yes) or must not (no) see it.
types() {
  local client=$1 key=$2 desktop=$3 expected=$4 start
  start=$(wc -l <"$work/recorded")
  "$client" input --retry-ms 5000 --hold-ms 1000 "key $key down" "key $key up" "mouse 100 100 button=1 down" \
    "mouse 100 100 button=1 up" || fail "$client exited with $?"
  # A marker from the installed client: everything before it has been injected.
  "$beside" input --retry-ms 5000 --hold-ms 1000 "key KeyZ down" "key KeyZ up" || fail "marker"
  for _ in $(seq 1 100); do keys_after "$start" | grep -qx z && break; sleep 0.1; done
  keys_after "$start" | grep -qx z || fail "the installed client's marker did not arrive on $desktop"
  local seen=no
  keys_after "$start" | grep -qx "$(echo "${key#Key}" | tr 'A-Z' 'a-z')" && seen=yes
  [ "$seen" = "$expected" ] || fail "$client $key on $desktop: seen=$seen, expected $expected"
  echo "$desktop: $(basename "$(dirname "$client")")/$(basename "$client") $key seen=$seen"
}

types "$copy" KeyA Default yes
types "$beside" KeyB Default yes
xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
types "$beside" KeyC Winlogon yes
types "$copy" KeyD Winlogon no
line="inject: clientul $copy nu e instalat langa worker - ignor inputul pe Winlogon"
[ "$(grep -cF -- "$line" "$log")" = 1 ] || fail "expected once: $line"
grep -F "clientul $beside" "$log" && fail "the installed client was named as untrusted"
xprop -root -remove _HALVORINE_DESKTOP
types "$copy" KeyE Default yes

# --- the secure desktop up and down once a second: what the log gains --------
# (HALVORINE_SWITCH_SECONDS, 120 by default, 0 to leave it out)
seconds=${HALVORINE_SWITCH_SECONDS:-120}
if [ "$seconds" -gt 0 ]; then
  size() { stat -c %s "$log"; }
  start_size=$(size) half=$((seconds / 2)) t0=$(date +%s.%N)
  for ((i = 0; i < seconds; i++)); do
    xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
    sleep 0.5
    xprop -root -remove _HALVORINE_DESKTOP
    # Whole seconds from the start, however long xprop took.
    sleep "$(echo "$t0 + $i + 1 - $(date +%s.%N)" | bc | sed 's/^-.*/0/')"
    [ "$i" = $((half - 1)) ] && middle_size=$(size)
  done
  end_size=$(size)
  first=$((middle_size - start_size)) second=$((end_size - middle_size))
  cycles=$(grep -c "secure-capture: DesktopDuplicator pornit" "$log" || true)
  echo "switching $seconds s: the log grew by $first bytes in the first half, $second in the second" \
       "($cycles capture starts written)"
  [ "$second" -le $((12 * 1024 * half / 60)) ] || fail "the second half added $second bytes"
fi
echo "PASS"
