#!/usr/bin/env bash
# Makes the player's release: kelvane.exe, patchw32.dll, rtptool.exe and the player's guide
# in one folder, and the same folder as a zip:
#   build/release/Kelvane-<version>/   and   build/release/Kelvane-<version>.zip
# Builds the three Windows programs first (the Windows build folder is shared with the Wine
# test runs, hence the lock). Usage: scripts/make-release.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/windows"
version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="Kelvane-$version"
out="$root/build/release"
(
  flock 9
  [ -f "$build/CMakeCache.txt" ] || cmake --preset windows >/dev/null
  cmake --build --preset windows --target kelvane patchw32 rtptool 9>&-
) 9>/tmp/kelvane-windows.lock

rm -rf "$out/$name" "$out/$name.zip"
mkdir -p "$out/$name"
cp "$build/kelvane.exe" "$build/patchw32/patchw32.dll" "$build/tools/rtptool.exe" "$out/$name/"
# The guide travels as a text file with Windows line ends, readable in Notepad.
sed 's/$/\r/' "$root/docs/PLAYERS_GUIDE.md" >"$out/$name/PLAYERS_GUIDE.txt"
(cd "$out" && if command -v zip >/dev/null; then
   zip -q -r -X "$name.zip" "$name"
 else
   python3 -c 'import shutil,sys; shutil.make_archive(sys.argv[1], "zip", ".", sys.argv[1])' "$name"
 fi)
ls -l "$out/$name" "$out/$name.zip"
echo "release: $out/$name.zip"
