# Sourced by the end-to-end scripts and benches: a private work folder, the
# processes they start (ended last started first, so displays go after their
# clients), and private Xvfb displays.
#   session_start PREFIX     sets work=/tmp/PREFIX.XXXXXX; cleanup at exit
#   pids+=($!)               after starting anything to be ended
#   start_xvfb NAME SIZE     sets the variable NAME to the new display (":N")
#                            once it accepts connections
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
  # A file of its own per display: the redirection happens in the background
  # job, so a reused file could still hold an earlier server's number (or be
  # emptied just after it was read).
  local file
  file=$(mktemp "$work/$1.display.XXXXXX")
  Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  pids+=($!)
  # The number comes with its line end once the server is set up.
  for _ in $(seq 1 300); do [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" = '\n' ] && break; sleep 0.1; done
  local display
  display=":$(head -n 1 "$file")"
  [ "$display" != ":" ] || { echo "FAIL: Xvfb $1 ($2) did not start" >&2; exit 1; }
  for _ in $(seq 1 300); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 || { echo "FAIL: Xvfb $1 ($2) accepts no connection" >&2; exit 1; }
  printf -v "$1" '%s' "$display"
}
# Sets the variable NAME to a new folder of root's (mode 755) in a chain of
# folders that only root may change: what the secure desktop's input rule
# takes as the worker's installed folder. Beside NEAR when NEAR's chain
# qualifies (a checkout under /tmp does not), else in /var/lib. The caller
# removes it.
trusted_dir() {  # NAME NEAR
  local candidate dir
  for candidate in "$2" /var/lib; do
    only_root_writes "$candidate" || continue
    dir=$(mktemp -d "$candidate/halvorine-trusted.XXXXXX")
    chmod 755 "$dir"
    printf -v "$1" '%s' "$dir"
    return 0
  done
  echo "FAIL: no folder only root may change near $2" >&2
  exit 1
}
only_root_writes() {  # PATH: it and every folder above it root's, no group or other write
  local path uid mode
  path=$(realpath "$1" 2>/dev/null) || return 1
  while :; do
    read -r uid mode < <(stat -c '%u %a' "$path" 2>/dev/null) || return 1
    [ "$uid" = 0 ] && (((8#$mode & 8#022) == 0)) || return 1
    [ "$path" = / ] && return 0
    path=$(dirname "$path")
  done
}
