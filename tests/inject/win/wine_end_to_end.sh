#!/usr/bin/env bash
# End to end under Wine: halvorine-client.exe -> \\.\pipe\halvorine-input ->
# halvorine-worker.exe -> SendInput -> a test window in another process.
# Checks keys (extended ones too) with their virtual key and extended bit,
# letters, digits and punctuation also with their scan code and the virtual
# key and character the layout gives them (US, German, French);
# where absolute moves land (x * 1280 / 65536 on the fixture's 1280x800
# screen), buttons and wheel, and that a client leaving ControlLeft down has
# it released when it disconnects (the window sees the key-up and
# GetAsyncKeyState agrees); Ctrl+Alt+Del as SendSAS, or as keys without sas.dll.
# usage: wine_end_to_end.sh WORKER_EXE CLIENT_EXE TEST_WINDOW_EXE SAS_DLL   (HALVORINE_WINE_STATE set)
set -euo pipefail
worker=$1 client=$2 window=$3 sas_dll=$4
# shellcheck disable=SC1091
. "$HALVORINE_WINE_STATE/env"

work=$(mktemp -d /tmp/halvorine-inject-wine.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ ! -f "$work/sas.dll" ] || cp "$work/sas.dll" "$WINEPREFIX/drive_c/windows/system32/"  # Wine's own, back
  setxkbmap us 2>/dev/null || true  # the fixture's display is shared
  rm -rf "$work"
}
trap cleanup EXIT

log=$WINEPREFIX/drive_c/ProgramData/Halvorine/halvorine-worker.log
fail() {
  echo "FAIL: $*" >&2
  echo "--- worker log" >&2; cat "$log" >&2 || true
  echo "--- test window" >&2; cat "$recorded" >&2 || true
  exit 1
}

# The first window of a fresh prefix can take a while (the desktop process starts).
start_window() {
  recorded=$work/recorded-$1
  wine "$window" "$(winepath -w "$recorded")" 240 >"$work/window-$1.out" 2>&1 &
  pids+=($!) window_pid=$!
  for _ in $(seq 1 600); do grep -q '^ready' "$recorded" 2>/dev/null && break; sleep 0.1; done
  grep -qx 'ready 1280 800' "$recorded" || fail "the test window did not start on a 1280x800 screen"
}
setxkbmap us
start_window us

cp "$WINEPREFIX/drive_c/windows/system32/sas.dll" "$work/" && cp "$sas_dll" "$WINEPREFIX/drive_c/windows/system32/"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sas=n" HALVORINE_TEST_SAS_RECORD=$(winepath -w "$work/sas-calls") \
  wine "$worker" >"$work/worker.out" 2>&1 &
pids+=($!)

# The worker under Wine is not the SYSTEM worker the client checks for.
send() { wine "$client" input --no-server-check --retry-ms 20000 "$@" || fail "client exited with $? for: $*"; }
lines_after() { tail -n +"$(($1 + 1))" "$recorded"; }
count() { wc -l <"$recorded"; }

# Waits up to 30 s until the window's lines after START that match PATTERN are EXPECTED.
expect_lines() {
  local start=$1 pattern=$2 expected=$3 actual=""
  for _ in $(seq 1 300); do
    actual=$(lines_after "$start" | grep -E "$pattern" || true)
    [ "$actual" = "$expected" ] && return 0
    sleep 0.1
  done
  fail "expected after line $start:
$expected
got:
$actual"
}

# Waits up to 30 s until the last of the window's lines after START that match
# PATTERN is EXPECTED (a move may come as several WM_MOUSEMOVE messages).
expect_last_line() {
  local start=$1 pattern=$2 expected=$3 actual=""
  for _ in $(seq 1 300); do
    actual=$(lines_after "$start" | grep -E "$pattern" | tail -n 1 || true)
    [ "$actual" = "$expected" ] && return 0
    sleep 0.1
  done
  fail "expected the last line after line $start to be '$expected', got '$actual'"
}

# --- pointer: corners and centre ------------------------------------------------
send "mouse 1000 1000"
while read -r x y px py; do
  start=$(count)
  send "mouse $x $y"
  expect_last_line "$start" '^move ' "move $px $py"
done <<'POSITIONS'
0 0 0 0
65535 0 1279 0
0 65535 0 799
65535 65535 1279 799
32768 32768 640 400
12345 54321 241 663
POSITIONS

# --- keys: name, then the virtual key and extended bit the window must see ----------
# Left and right Shift/Control/Alt arrive as VK_SHIFT/VK_CONTROL/VK_MENU, as
# on Windows; the extended bit tells the right Control and Alt apart.
keys=(
  "Numpad7 0x67 0" "F5 0x74 0" "F12 0x7B 0" "Enter 0x0D 0"
  "NumpadEnter 0x0D 1" "ArrowUp 0x26 1" "ArrowLeft 0x25 1" "Home 0x24 1" "PageDown 0x22 1" "Insert 0x2D 1"
  "Delete 0x2E 1" "ShiftLeft 0x10 0" "ShiftRight 0x10 0" "ControlLeft 0x11 0" "ControlRight 0x11 1"
  "AltLeft 0x12 0" "AltRight 0x12 1" "NumpadDivide 0x6F 1"
  "NumpadAdd 0x6B 0" "Space 0x20 0" "Escape 0x1B 0" "Tab 0x09 0" "Backspace 0x08 0" "ContextMenu 0x5D 1"
)
messages=() expected=""
for entry in "${keys[@]}"; do
  read -r name vk ext <<<"$entry"
  messages+=("key $name down" "key $name up")
  expected+="key down $vk $ext 0x00"$'\n'"key up $vk $ext 0x00"$'\n'  # scan code 0 as sent
done
start=$(count)
send "${messages[@]}"
expect_lines "$start" '^key ' "${expected%$'\n'}"

# --- letters, digits, punctuation: scan code, the layout's virtual key and character --
# name:VK:SCAN:CHAR as the window must see them, per layout. Wine takes its
# layout from the X map as a process starts, and gives the PC's scan codes
# only to keys it places in its own table of that layout (not the umlauts,
# nor the French digit row): those map to no virtual key, so the US one goes.
declare -A layout_keys=(
  [us]="KeyA:0x41:0x1E:0x0061 Keyz:0x5A:0x2C:0x007A KeyY:0x59:0x15:0x0079 Digit5:0x35:0x06:0x0035
        Semicolon:0xBA:0x27:0x003B Quote:0xDE:0x28:0x0027 Backquote:0xC0:0x29:0x0060 Slash:0xBF:0x35:0x002F"
  [de]="KeyY:0x5A:0x15:0x007A KeyZ:0x59:0x2C:0x0079 Slash:0xBF:0x35:0x002D Digit2:0x32:0x03:0x0032
        IntlBackslash:0xE2:0x56:0x003C"
  [fr]="KeyQ:0x41:0x10:0x0061 KeyA:0x51:0x1E:0x0071 KeyW:0x5A:0x11:0x007A Semicolon:0x4D:0x27:0x006D
        KeyM:0xBC:0x32:0x002C IntlBackslash:0xE2:0x56:0x003C")
check_layout() {
  local key name vk scan char messages=() expected=""
  for key in ${layout_keys[$1]}; do
    IFS=: read -r name vk scan char <<<"$key"
    messages+=("key $name down" "key $name up")
    expected+="key down $vk 0 $scan"$'\n'"char $char"$'\n'"key up $vk 0 $scan"$'\n'
  done
  start=$(count)
  send "${messages[@]}"
  expect_lines "$start" '^(key|char) ' "${expected%$'\n'}"
}
check_layout us

# --- buttons and wheel -------------------------------------------------------------
# Under Wine a button record sent in the same call as the move before it now
# and then reports the pointer's previous position (Wine's X11 driver updates
# the cursor asynchronously), so the pointer is put in place first; the order
# of the records themselves is covered by the unit tests.
while read -r x button name px; do
  start=$(count)
  send "mouse $x 16384"
  expect_last_line "$start" '^move ' "move $px 200"
  start=$(count)
  send "mouse $x 16384 button=$button down" "mouse $x 16384 button=$button up"
  expect_lines "$start" '^button ' "button $name down $px 200
button $name up $px 200"
done <<'BUTTONS'
16384 1 left 320
32768 2 right 640
49152 3 middle 960
BUTTONS
start=$(count)
send "mouse 49152 16384 scroll=2" "mouse 49152 16384 scroll=-3"
expect_lines "$start" '^wheel ' "wheel 240
wheel -360"

# --- ControlLeft left down by a client that disconnects -----------------------------
start=$(count)
send "key ControlLeft down"
expect_lines "$start" '^key ' "key down 0x11 0 0x00
key up 0x11 0 0x00"
start=$(count)
send "key F9 down" "key F9 up"
expect_lines "$start" '^(key|async) ' "key down 0x78 0 0x00
async control=0 lcontrol=0 rcontrol=0
key up 0x78 0 0x00"

# --- Ctrl+Alt+Del: SendSAS, no Delete (the keys after it show the call was made) -----
cad=("key ControlLeft down" "key AltLeft down" "key Delete down" "key Delete up" "key AltLeft up" "key ControlLeft up")
new_log() { tail -n +"$((log_start + 1))" "$log" | grep -c "\] inject: $1$" || true; }
start=$(count) log_start=$(wc -l <"$log")
send "${cad[@]}" "key Delete down" "key Delete up"
expect_lines "$start" '^key ' "$(printf 'key %s\n' 'down 0x11 0 0x00' 'down 0x12 0 0x00' 'up 0x12 0 0x00' \
  'up 0x11 0 0x00' 'down 0x2E 1 0x00' 'up 0x2E 1 0x00')"
[ "$(cat "$work/sas-calls")" = "SendSAS 0" ] || fail "SendSAS calls: $(cat "$work/sas-calls")"
[ "$(new_log 'Ctrl+Alt+Del -> SendSAS')" = 1 ] || fail "no SendSAS line"
[ "$(new_log 'SoftwareSASGeneration=0 - Windows poate ignora Ctrl+Alt+Del de la servicii')" = 1 ] || fail "policy"
# sas.dll disabled, as where it is missing: twice the keys, once the reason.
kill "${pids[-1]}" && wait "${pids[-1]}" 2>/dev/null || true
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sas=" wine "$worker" >"$work/worker2.out" 2>&1 &
pids+=($!)
start=$(count) log_start=$(wc -l <"$log")
send "${cad[@]}" "${cad[@]}"
keys=$(printf 'key %s\n' 'down 0x11 0 0x00' 'down 0x12 0 0x00' 'down 0x2E 1 0x00' 'up 0x2E 1 0x00' 'up 0x12 0 0x00' \
  'up 0x11 0 0x00')
expect_lines "$start" '^key ' "$keys"$'\n'"$keys"
[ "$(new_log 'SendSAS indisponibil (LoadLibraryExW: .* (os error 126)) - trimit tastele')" = 1 ] || fail "unavailable"

# Other layouts: window and worker start again under that X map.
for layout in de fr; do
  kill "${pids[-1]}" "$window_pid" && wait "${pids[-1]}" "$window_pid" 2>/dev/null || true
  setxkbmap "$layout" || fail "the display does not take the keyboard map $layout"
  start_window "$layout"
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sas=" wine "$worker" >"$work/worker-$layout.out" 2>&1 &
  pids+=($!)
  check_layout "$layout"
done

grep -q 'inject: thread injectie pornit thread_id=[0-9]' "$log" || fail "no injection thread start message"
grep -qF 'input: reatasat la desktopul de input Some("Default")' "$log" || fail "no attach message"
echo "wine end to end: ok"
