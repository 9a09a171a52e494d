#!/usr/bin/env bash
# Patches travel between systems: one built natively on Linux applies under Wine through
# rtptool.exe and the real engine, and through Kelvane's dialog as a player applies it; one
# built by rtptool.exe under Wine applies natively.
# The trees hold names with Latin-1 accents, in Cyrillic and in CJK, and a path of more than
# 260 characters below the game directory.
# Usage: names_roundtrip.sh NATIVE_RTPTOOL RTPTOOL_EXE WINE_RUN_SCRIPT
set -eu -o pipefail
native=$1 exe=$2 wine_run=$3
if [ ! -x "$native" ]; then
  echo "SKIP: no native rtptool at $native (build the native preset first)"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kv-names.XXXXXX")
trap 'rm -rf "$work"' EXIT
win() { printf 'Z:%s' "$1" | tr / '\\'; }
put() { mkdir -p "$(dirname "$1")" && printf '%s' "$2" > "$1"; }

deep=
for c in a b c d e; do deep+=$(printf "$c%.0s" $(seq 60))/; done
deep+="дальний файл.dat"
cd "$work"
put "old/Música/tema ñ.ogg" "old song"
put "old/Карта/поле.dat" "old field"
put "old/音楽/主題曲.ogg" "old theme"
put "old/keep.txt" "kept"
put "new/Música/tema ñ.ogg" "new song, a little longer"
put "new/Карта/поле.dat" "new field"
put "new/音楽/新曲.ogg" "another theme"
put "new/Données/carte.dat" "a map"
put "new/$deep" "far away"
put "new/keep.txt" "kept"
[ ${#deep} -gt 260 ]

echo "== built on Linux, applied under Wine"
"$native" build old new linux.rtp
cp -a old game1
"$wine_run" "$exe" apply "$(win "$work/game1")" "$(win "$work/linux.rtp")" | tr -d '\r'
diff -r new game1

echo "== built under Wine, applied on Linux"
"$wine_run" "$exe" build "$(win "$work/old")" "$(win "$work/new")" "$(win "$work/wine.rtp")"
cp -a old game2
"$native" apply game2 wine.rtp
diff -r new game2

echo "== built on Linux, applied under Wine through Kelvane's dialog"
build=${KELVANE_BUILD_DIR:?}
for f in kelvane.exe tests/e2e/kelvane_demo_driver.exe tests/versions/ver_1_0_12_0_pb1549.exe; do
  [ -f "$build/$f" ] || { echo "not built: $build/$f"; exit 1; }
done
prefix=${WINEPREFIX:-$build/wineprefix}
"$wine_run" cmd /c exit >/dev/null 2>&1 || true # creates the prefix on first use
place="$prefix/drive_c/kv-names"
game="$place/Tarrow Moor"
rm -rf "$place"
mkdir -p "$game"
trap 'rm -rf "$work" "$place"' EXIT
cp -a old/. "$game/"
cp "$build/tests/versions/ver_1_0_12_0_pb1549.exe" "$game/tarrowmain.exe"
cp "$build/patchw32/patchw32.dll" "$game/"
cp linux.rtp "$place/"
key='HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate'
"$wine_run" reg add "$key" /v Location /d 'C:\kv-names\Tarrow Moor' /f >/dev/null 2>&1
"$wine_run" reg add "$key" /v Version /d '1.12' /f >/dev/null 2>&1
(cd "$place" && exec "$wine_run" "$build/kelvane.exe") &
kelvane=$!
if ! "$wine_run" "$build/tests/e2e/kelvane_demo_driver.exe" 'C:\kv-names\linux.rtp' --exit |
  tr -d '\r' > dialog.txt; then
  cat dialog.txt
  kill "$kelvane"
  exit 1
fi
wait "$kelvane"
"$wine_run" reg delete "$key" /f >/dev/null 2>&1
cat dialog.txt
# The dialog shows the names in the ANSI code page (1252 here): accents intact.
grep -aF "Processing: $(printf 'M\xfasica\\tema \xf1.ogg')" dialog.txt
rm "$game/tarrowmain.exe" "$game/patchw32.dll"
diff -r new "$game"
echo "every round trip gives the new tree"
