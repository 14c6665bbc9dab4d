#!/usr/bin/env bash
# release_archive.sh SOURCE_DIR BUILD_DIR: scripts/package on this Windows tree writes
# exactly the files the README's "Release" table lists, and no test program.
set -euo pipefail
src=$1 build=$2 work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$src/scripts/package" --build-dir "$build" "$work/release.zip" >"$work/log" 2>&1 ||
  { cat "$work/log"; echo "FAIL: scripts/package"; exit 1; }
cmake -E tar tf "$work/release.zip" | grep -v '/$' | LC_ALL=C sort >"$work/archive"
awk '/^## / { listing = ($0 == "## Release") } listing && /^\| `/' "$src/README.md" |
  sed -E 's#^[|] `([^`]+)`.*#halvorine-windows-x64/\1#' | LC_ALL=C sort >"$work/readme"
[ -s "$work/readme" ] || { echo "FAIL: no file table in the README's Release section"; exit 1; }
diff -u "$work/readme" "$work/archive" || { echo "FAIL: the archive is not what the README lists"; exit 1; }
# Test programs: what the tree builds under tests/, and the secure-desktop test worker.
ninja -C "$build" -t targets all | sed -nE 's#^(tests/[^:]*|[^:]*-test)[.](exe|dll): .*#\1.\2#p' |
  sed 's|.*/||' >"$work/tests"
grep -qx halvorine-worker-secure-test.exe "$work/tests" || { echo "FAIL: no test programs known"; exit 1; }
! sed 's|.*/||' "$work/archive" | grep -Fxf "$work/tests" || { echo "FAIL: test programs in the archive"; exit 1; }
echo "release archive: the $(wc -l <"$work/archive") files the README lists"
