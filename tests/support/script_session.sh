# Sourced by the end-to-end scripts and benches: a private work folder, the
# processes they start (ended last started first, so displays go after their
# clients), and private Xvfb displays.
#   session_start PREFIX     sets work=/tmp/PREFIX.XXXXXX; cleanup at exit
#   pids+=($!)               after starting anything to be ended
#   start_xvfb NAME SIZE     sets the variable NAME to the new display (":N")
pids=()
session_start() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap session_cleanup EXIT
}
session_cleanup() {
  exec 4>&- 2>/dev/null || true
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp 3>"$work/$1.display" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do [ -s "$work/$1.display" ] && break; sleep 0.1; done
  [ -s "$work/$1.display" ] || { echo "FAIL: Xvfb $1 did not start" >&2; exit 1; }
  printf -v "$1" ':%s' "$(head -n 1 "$work/$1.display")"
}
