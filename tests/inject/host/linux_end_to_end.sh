#!/usr/bin/env bash
# End to end on Linux: halvorine-client -> input socket -> Linux worker ->
# XTest on a private Xvfb. Checks where the pointer lands, which keys and
# buttons reach an X client (letters, digits and punctuation as the physical
# key: the display's map decides), the display's desktop name, and that a
# client leaving a key down has it released when it disconnects, and that SIGTERM
# releases what a connected client holds before the worker exits with 0.
# usage: linux_end_to_end.sh WORKER CLIENT X_INPUT_RECORDER
set -euo pipefail
worker=$1 client=$2 recorder=$3

work=$(mktemp -d /tmp/halvorine-inject-e2e.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$work/programdata/Halvorine/halvorine-worker.log" >&2 || true
  echo "--- recorder" >&2; cat "$work/recorded" >&2 || true
  exit 1
}

# Private display: Xvfb picks a free number itself and writes it once it is
# ready, so tests running side by side never race for one.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(head -n 1 "$work/display")"
export DISPLAY=$display

"$recorder" "$work/recorded" &
pids+=($!)
for _ in $(seq 1 300); do grep -qx ready "$work/recorded" 2>/dev/null && break; sleep 0.1; done
grep -qx ready "$work/recorded" || fail "the X recorder did not start"

mkdir -p "$work/programdata" "$work/pipes"
export PROGRAMDATA=$work/programdata HALVORINE_PIPE_DIR=$work/pipes
"$worker" >"$work/worker.out" 2>&1 &
worker_pid=$!
pids+=("$worker_pid")
log=$work/programdata/Halvorine/halvorine-worker.log

send() { "$client" input --retry-ms 5000 "$@" || fail "client exited with $? for: $*"; }

# Waits up to 30 s until COMMAND prints exactly EXPECTED.
expect_output() {
  local expected=$1 actual=""; shift
  for _ in $(seq 1 300); do
    actual=$("$@" 2>/dev/null || true)
    [ "$actual" = "$expected" ] && return 0
    sleep 0.1
  done
  fail "expected '$expected' from '$*', got '$actual'"
}
pointer() { xdotool getmouselocation | awk '{print $1, $2}'; }
recorded_after() { tail -n +"$(($1 + 1))" "$work/recorded"; }
log_has() { grep -qF -- "$1" "$log"; }

# --- pointer: corners and centre; x lands at x * 1280 / 65536 ------------------
while read -r x y px py; do
  send "mouse $x $y"
  expect_output "x:$px y:$py" pointer
done <<'POSITIONS'
0 0 0 0
65535 0 1279 0
0 65535 0 799
65535 65535 1279 799
32768 32768 640 400
12345 54321 241 663
POSITIONS

# --- keys, extended ones included --------------------------------------------
# name, then a keysym the X client must see on that key (level 0 or 1).
keys=(
  "KeyA a" "Keyz z" "Digit5 5" "Numpad7 KP_7" "F5 F5" "F12 F12" "Enter Return" "NumpadEnter KP_Enter"
  "ArrowUp Up" "ArrowLeft Left" "Home Home" "PageDown Next" "Insert Insert" "Delete Delete"
  "ShiftLeft Shift_L" "ShiftRight Shift_R" "ControlLeft Control_L" "ControlRight Control_R" "AltLeft Alt_L"
  "MetaLeft Super_L" "Backquote grave" "Quote apostrophe" "NumpadDivide KP_Divide" "NumpadAdd KP_Add"
  "Space space" "Escape Escape" "Tab Tab" "Backspace BackSpace" "ContextMenu Menu"
  "F20 F20" "NumpadComma KP_Separator"  # not in Xvfb's keyboard map: bound to free keycodes
  # The ISO, Japanese and Korean keys as their physical keys (evdev numbers
  # all but the first apart from their scan codes).
  "IntlBackslash less" "KanaMode Hiragana_Katakana" "Convert Henkan_Mode" "NonConvert Muhenkan" "Lang1 Hangul"
  "Lang2 Hangul_Hanja"
)
start=$(wc -l <"$work/recorded")
messages=()
for entry in "${keys[@]}"; do
  name=${entry%% *}
  messages+=("key $name down" "key $name up")
done
send "${messages[@]}"
expect_output $((2 * ${#keys[@]})) bash -c "tail -n +$((start + 1)) '$work/recorded' | grep -c '^key '"
mapfile -t lines < <(recorded_after "$start" | grep '^key ')
i=0
for entry in "${keys[@]}"; do
  name=${entry%% *} sym=${entry#* }
  for phase in press release; do
    read -r _ got_phase _ sym0 sym1 <<<"${lines[$i]}"
    [ "$got_phase" = "$phase" ] && { [ "$sym0" = "$sym" ] || [ "$sym1" = "$sym" ]; } ||
      fail "$name $phase: expected keysym $sym, the X client saw '${lines[$i]}'"
    i=$((i + 1))
  done
done

# --- the numpad types digits whatever NumLock's state, as on Windows -----------
for numlock in off on; do
  if [ "$numlock" = on ]; then
    start=$(wc -l <"$work/recorded")
    send "key NumLock down" "key NumLock up"
    expect_output 2 bash -c "tail -n +$((start + 1)) '$work/recorded' | grep -c '^key .* Num_Lock'"
  fi
  start=$(wc -l <"$work/recorded")
  messages=()
  for digit in 0 1 2 3 4 5 6 7 8 9; do messages+=("key Numpad$digit down" "key Numpad$digit up"); done
  send "${messages[@]}" "key NumpadDecimal down" "key NumpadDecimal up"
  expect_output "0123456789." bash -c "tail -n +$((start + 1)) '$work/recorded' | awk '/^text /{printf \"%s\", \$2}'"
done
send "key NumLock down" "key NumLock up"

# --- buttons and wheel ---------------------------------------------------------
start=$(wc -l <"$work/recorded")
send "mouse 16384 16384 button=1 down" "mouse 16384 16384 button=1 up" \
     "mouse 32768 16384 button=2 down" "mouse 32768 16384 button=2 up" \
     "mouse 49152 16384 button=3 down" "mouse 49152 16384 button=3 up" \
     "mouse 0 0 scroll=2" "mouse 0 0 scroll=-3"
expected_buttons="button press 1 320 200
button release 1 320 200
button press 3 640 200
button release 3 640 200
button press 2 960 200
button release 2 960 200
button press 4 0 0
button release 4 0 0
button press 4 0 0
button release 4 0 0
button press 5 0 0
button release 5 0 0
button press 5 0 0
button release 5 0 0
button press 5 0 0
button release 5 0 0"
expect_output "$expected_buttons" bash -c "tail -n +$((start + 1)) '$work/recorded' | grep '^button '"

# --- the display's desktop name --------------------------------------------------
xprop -root -f _HALVORINE_DESKTOP 8s -set _HALVORINE_DESKTOP Winlogon
send "mouse 100 100"
expect_output yes bash -c "grep -qF 'input: reatasat la desktopul de input Some(\"Winlogon\")' '$log' && echo yes"
log_has "inject: fara user logat, raman SYSTEM (Winlogon)" || fail "no SYSTEM message on Winlogon"
xprop -root -remove _HALVORINE_DESKTOP
send "mouse 200 200"
expect_output 2 grep -cF 'input: reatasat la desktopul de input Some("Default")' "$log"
expect_output 2 grep -cF 'inject: impersonez user sesiune 1 (state=Active)' "$log"

# --- letters, digits, punctuation: the physical key, so the map decides ----------
# The US map's keysyms are checked above; with a German map an X client must
# see these at level 0, and F20, bound to a free keycode before the map
# changed, its own. A key held while the map changes is released (here as its
# client goes) on the keycode that pressed it: KeyY's scan code 0x15 + 8, and
# wherever F13 was bound.
key_lines() { recorded_after "$start" | awk -v keycode="${1:-}" '/^key /{print $1, $2, (keycode ? $3 " " : "") $4}'; }
setxkbmap de || fail "the display does not take a German keyboard map"
messages=() expected=""
for pair in KeyY=z KeyZ=y KeyQ=q Digit2=2 Minus=ssharp Equal=dead_acute BracketLeft=udiaeresis \
            Semicolon=odiaeresis Quote=adiaeresis Backquote=dead_circumflex Backslash=numbersign Slash=minus \
            IntlBackslash=less F20=F20; do
  messages+=("key ${pair%=*} down" "key ${pair%=*} up")
  expected+="key press ${pair#*=}"$'\n'"key release ${pair#*=}"$'\n'
done
start=$(wc -l <"$work/recorded")
send "${messages[@]}"
expect_output "${expected%$'\n'}" key_lines
start=$(wc -l <"$work/recorded")
"$client" input --hold-ms 30000 "key KeyY down" "key F13 down" &
pids+=($!)
expect_output "key press z
key press F13" key_lines
f13=$(key_lines 1 | awk '$4 == "F13" {print $3}')
setxkbmap us
kill "${pids[-1]}"
held_lines() { key_lines 1 | sed "s/^\(key [a-z]* $f13\) .*/\1/"; }  # the new map decides F13's keysym there
expect_output "key press 29 z
key press $f13
key release 29 y
key release $f13" held_lines

# --- a client that leaves ControlLeft down: released on disconnect ---------------
start=$(wc -l <"$work/recorded")
send "key ControlLeft down"
expect_output "key press Control_L
key release Control_L" bash -c "tail -n +$((start + 1)) '$work/recorded' | awk '/^key /{print \$1, \$2, \$4}'"

log_has "inject: thread injectie pornit thread_id=" || fail "no start message"

# --- SIGTERM while a connected client holds ShiftLeft --------------------------
start=$(wc -l <"$work/recorded")
"$client" input --hold-ms 30000 "key ShiftLeft down" &
pids+=($!)
expect_output "key press Shift_L" bash -c "tail -n +$((start + 1)) '$work/recorded' | awk '/^key /{print \$1, \$2, \$4}'"
kill -TERM "$worker_pid"
status=0
wait "$worker_pid" || status=$?
[ "$status" -eq 0 ] || fail "the worker exited with $status after SIGTERM"
expect_output "key press Shift_L
key release Shift_L" bash -c "tail -n +$((start + 1)) '$work/recorded' | awk '/^key /{print \$1, \$2, \$4}'"
expect_output "releasing held input: 1 key(s), 0 button(s)
client disconnected
inject: channel inchis, thread injectie oprit
worker exiting" bash -c "tail -n 4 '$log' | sed 's/^\[[^]]*\] \[[^]]*\] //'"
echo "linux end to end: ok"
