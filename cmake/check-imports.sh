#!/usr/bin/env bash
# Fails when a Windows program or library imports anything but Windows system DLLs
# (no libstdc++, libgcc, winpthread or zlib DLLs: everything is linked statically).
set -u
status=0
allowed='^(kernel32|user32|gdi32|advapi32|comctl32|comdlg32|shell32|ole32|oleaut32|version|msvcrt|ws2_32|shlwapi)\.dll$'
for file in "$@"; do
  dlls=$(i686-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ {print tolower($3)}')
  for dll in $dlls; do
    if ! [[ "$dll" =~ $allowed ]]; then
      echo "$file imports $dll"
      status=1
    fi
  done
  echo "$(basename "$file"): $(echo $dlls)"
done
exit $status
