#!/usr/bin/env bash
# The Windows executables ship alone: they may import only DLLs that every
# Windows x64 edition provides, never the mingw runtime (libstdc++, libgcc,
# libwinpthread) or a codec library, and never Media Foundation, Direct3D 11
# or DXGI, which some editions lack (those are loaded at run time): an import
# the loader cannot satisfy refuses the whole process before main.
# Usage: imports_only_system_dlls.sh OBJDUMP EXE [FORBIDDEN]
#   FORBIDDEN: names (an extended regex, upper case, without .DLL) of system
#   DLLs this executable must not import either.
set -euo pipefail
objdump=$1
exe=$2
forbidden=${3:-}
mapfile -t dlls < <("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
[ "${#dlls[@]}" -gt 0 ] || { echo "FAIL: no imports read from $exe"; exit 1; }
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|OLE32|OLEAUT32|WS2_32|WTSAPI32|MSVCRT)\.DLL$'
status=0
for dll in "${dlls[@]}"; do
  if ! grep -qE "$allowed" <<<"${dll^^}" || { [ -n "$forbidden" ] && grep -qE "^($forbidden)\.DLL$" <<<"${dll^^}"; }; then
    echo "FAIL: $exe imports $dll"
    status=1
  fi
done
[ $status -eq 0 ] && echo "imports: ${dlls[*]}"
exit $status
