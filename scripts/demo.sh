#!/usr/bin/env bash
# The built-in demo: installs what is missing, builds Kelvane, its engine and the patch
# builder, makes a demo game installation (release 1.12) and a demo patch to release 2.05,
# installs the game in a Wine prefix of its own and opens Kelvane on it.
# With a display, Kelvane opens on it; without one, it runs under Xvfb and a screenshot
# is saved (the path is printed at the end).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash .ci/setup-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target kelvane patchw32 rtptool kelvane_demo_driver ver_1_0_12_0_pb1549 ver_2_0_5_1_pb1234
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target rtptool

demo="$root/build/demo"
rm -rf "$demo/v1" "$demo/v2" "$demo/patches"
mkdir -p "$demo/patches"
python3 scripts/make_demo_game.py "$demo"
cp build/windows/tests/versions/ver_1_0_12_0_pb1549.exe "$demo/v1/tarrowmain.exe"
cp build/windows/tests/versions/ver_2_0_5_1_pb1234.exe "$demo/v2/tarrowmain.exe"
build/native-release/tools/rtptool build -f "$demo/v1" "$demo/v2" "$demo/patches/tarrow_2.05_from_1.12.rtp"

export WINEPREFIX="$demo/wineprefix"
export KELVANE_BUILD_DIR="$demo"
headless=0
if [ -z "${DISPLAY:-}" ]; then
  # No display: everything Wine starts shares one Xvfb display from the first call on.
  headless=1
  bash cmake/xvfb.sh start "$demo"
  export DISPLAY=":$(cat "$demo/xvfb.display")"
  trap 'WINEPREFIX="$demo/wineprefix" wineserver -k 2>/dev/null; bash "$root/cmake/xvfb.sh" stop "$demo"' EXIT
fi
cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true # creates the prefix on first use
game="$WINEPREFIX/drive_c/Games/Tarrow Moor"
rm -rf "$game" "$WINEPREFIX/drive_c/Kelvane" "$WINEPREFIX/drive_c/Patches"
mkdir -p "$game" "$WINEPREFIX/drive_c/Kelvane" "$WINEPREFIX/drive_c/Patches"
cp -r "$demo/v1/." "$game/"
cp build/windows/patchw32/patchw32.dll "$game/"
cp build/windows/kelvane.exe "$WINEPREFIX/drive_c/Kelvane/"
cp "$demo/patches/"*.rtp "$WINEPREFIX/drive_c/Patches/"
cmake/wine-run.sh reg add 'HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate' /v Location /d 'C:\Games\Tarrow Moor' /f >/dev/null 2>&1
cmake/wine-run.sh reg add 'HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate' /v Version /d '1.12' /f >/dev/null 2>&1
echo "Demo game installed at C:\\Games\\Tarrow Moor (release 1.12); demo patch: C:\\Patches\\tarrow_2.05_from_1.12.rtp"

if [ "$headless" = 0 ]; then
  echo "Opening Kelvane: press \"Select Patch\", pick C:\\Patches\\tarrow_2.05_from_1.12.rtp, then \"Patch\"."
  cd "$WINEPREFIX/drive_c/Kelvane" && "$root/cmake/wine-run.sh" kelvane.exe
  exit 0
fi

# No display: Kelvane runs under Xvfb, a player's driver applies the patch, and Kelvane's
# window is photographed.
( cd "$WINEPREFIX/drive_c/Kelvane" && "$root/cmake/wine-run.sh" kelvane.exe ) &
shot="$demo/kelvane-demo.png"
if [ -x build/windows/tests/e2e/kelvane_demo_driver.exe ]; then
  # Works the tool as a player would: selects the demo patch, applies it, photographs.
  cmake/wine-run.sh build/windows/tests/e2e/kelvane_demo_driver.exe 'C:\Patches\tarrow_2.05_from_1.12.rtp' || true
fi
sleep 8
# The picture shows Kelvane's window only: the top-level X window that Wine names "Kelvane"
# (the screen is 1280x1024 and mostly empty). Without it, the whole screen.
window="$(xwininfo -root -tree | awk '/^ +0x[0-9a-f]+ "Kelvane": \(/ && $(NF-1) !~ /^1x1\+/ {print $1; exit}')"
import -window "${window:-root}" "$shot"
"$root/cmake/wine-run.sh" taskkill /f /im kelvane.exe >/dev/null 2>&1 || true
echo "No display: Kelvane ran under Xvfb. Screenshot saved to $shot"
