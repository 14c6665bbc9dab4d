#!/usr/bin/env bash
# The secure desktop takes input only from a client installed beside the
# worker: `cmake --install` into a fresh folder of root, the worker run from
# there as root on a private Xvfb. On "Default" the installed client and a
# copy in /tmp both reach an X client; on Winlogon (_HALVORINE_DESKTOP) only
# the installed one does, and the copy is named once in the log. Then the
# secure desktop up and down once a second: what the log gains in each half
# (HALVORINE_SWITCH_SECONDS, 120 by default, 0 to leave it out).
# usage: secure_input_end_to_end.sh BUILD_DIR X_INPUT_RECORDER
set -euo pipefail
build=$1 recorder=$2
[ "$(id -u)" = 0 ] || { echo "SKIP: the worker must run as root, from a folder of root" >&2; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../support/script_session.sh
. "$here/../../support/script_session.sh"
session_start halvorine-secure-input-e2e
trusted_dir installed "$build"
trap 'session_cleanup; rm -rf "$installed"' EXIT
log=$work/programdata/Halvorine/halvorine-worker.log
fail() { echo "FAIL: $*" >&2; cat "$log" "$work/recorded" >&2 || true; exit 1; }

cmake --install "$build" --prefix "$installed" >"$work/install.out" || fail "cmake --install"
beside=$installed/bin/halvorine-client copy=$work/halvorine-client
cp "$beside" "$copy"
start_xvfb screen 1280x800 && export DISPLAY=$screen
"$recorder" "$work/recorded" & pids+=($!)
for _ in $(seq 1 300); do grep -qx ready "$work/recorded" 2>/dev/null && break; sleep 0.1; done
mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$installed/bin/halvorine-worker" >"$work/worker.out" 2>&1 & pids+=($!)

# types CLIENT KEY EXPECTED: whether (yes/no) the X client sees CLIENT's KEY
# and nothing else (a marker from the installed client follows it). A client
# stays a second after its messages, as a GUI stays: one already gone when
# the worker identifies it is not trusted.
types() {
  local start seen=no
  start=$(wc -l <"$work/recorded")
  "$1" input --retry-ms 5000 --hold-ms 1000 "key Key$2 down" "key Key$2 up" "mouse 100 100 button=1 down" \
    "mouse 100 100 button=1 up" || fail "$1 exited with $?"
  "$beside" input --retry-ms 5000 --hold-ms 1000 "key KeyZ down" "key KeyZ up" || fail "marker"
  keys() { tail -n +"$((start + 1))" "$work/recorded" | awk '/^key press/{print $4}'; }
  for _ in $(seq 1 100); do keys | grep -qx z && break; sleep 0.1; done
  keys | grep -qx "${2,,}" && seen=yes
  [ "$seen" = "$3" ] || fail "$1 Key$2: seen=$seen, expected $3"
  echo "$1 Key$2 seen=$seen"
}
types "$copy" A yes
types "$beside" B yes
xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
types "$beside" C yes
types "$copy" D no
[ "$(grep -c "inject: clientul $copy nu e instalat langa worker - ignor inputul pe Winlogon$" "$log")" = 1 ] ||
  fail "the copy was not named once"
! grep -F "clientul $beside" "$log" || fail "the installed client was named"
xprop -root -remove _HALVORINE_DESKTOP
types "$copy" E yes

seconds=${HALVORINE_SWITCH_SECONDS:-120}
if [ "$seconds" -gt 0 ]; then
  sizes=("$(stat -c %s "$log")") t0=$(date +%s.%N)
  for ((i = 1; i <= seconds; i++)); do
    xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
    sleep 0.5
    xprop -root -remove _HALVORINE_DESKTOP
    sleep "$(echo "$t0 + $i - $(date +%s.%N)" | bc | sed 's/^-.*/0/')"  # whole seconds from the start
    [ "$i" -ne $((seconds / 2)) ] && [ "$i" -ne "$seconds" ] || sizes+=("$(stat -c %s "$log")")
  done
  first=$((sizes[1] - sizes[0])) second=$((sizes[2] - sizes[1]))
  echo "switching $seconds s: the log grew by $first bytes in the first half, $second in the second"
  # Past the budget's burst, at most 12 kB a minute.
  [ "$seconds" -lt 120 ] || [ $((second * 120 / seconds)) -le 12288 ] || fail "the second half added $second bytes"
fi
echo PASS
