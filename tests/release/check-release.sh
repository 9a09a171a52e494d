#!/usr/bin/env bash
# The release as players and publishers get it. Makes the zip from the built programs and
# checks it: its SHA256SUMS, exactly the listed files, guides fit for Notepad, the About text
# and the version resource agree with the project's version. Then, under Wine, unpacks it
# into a folder far from the build (blanks and a non-ASCII letter in its name), builds the
# demo patch with the release's rtptool.exe, installs the release's patchw32.dll beside a
# demo game as PLAYERS_GUIDE.txt says, and has a player's driver apply the patch through the
# release's kelvane.exe, started from the unpacked folder; the game must then be release 2.05.
#   check-release.sh            (KELVANE_BUILD_DIR: the Windows build folder)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
export KELVANE_BUILD_DIR="${KELVANE_BUILD_DIR:-$root/build/windows}"
build="$KELVANE_BUILD_DIR"
work="$build/release-test"
rm -rf "$work"
made="$("$root/scripts/make-release.sh" --no-build --out "$work/out")"
echo "$made"
zip="$(sed -n 's/^release: //p' <<<"$made")"
grep -qx "sha256: $(sha256sum "$zip" | cut -d' ' -f1)" <<<"$made"
(cd "$work/out" && sha256sum --quiet -c SHA256SUMS)
version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"

python3 - "$zip" "$version" <<'EOF'
import re, struct, sys, zipfile
path, version = sys.argv[1], sys.argv[2]
top = f"Kelvane-{version}/"
want = ["kelvane.exe", "patchw32.dll", "rtptool.exe", "PLAYERS_GUIDE.txt", "PUBLISHERS_GUIDE.txt",
        "FORMAT.md", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt"]
z = zipfile.ZipFile(path)
names = z.namelist()
assert sorted(names) == sorted(top + n for n in want), f"zip holds {names}"
fails = []
for n in want:
    data = z.read(top + n)
    if not n.endswith((".txt", ".md")):
        continue
    if re.search(rb"(?<!\r)\n", data) or data.count(b"\r") != data.count(b"\n"):
        fails.append(f"{n}: not CRLF throughout")
    if n.endswith("_GUIDE.txt"):
        for i, line in enumerate(data.decode("cp1252").split("\r\n"), 1):
            if len(line) > 76 or re.search(r"\||`|\*\*|^#", line):
                fails.append(f"{n}:{i}: {line!r}")
        if not data.startswith(f"Kelvane {version}:".encode()):
            fails.append(f"{n}: title does not name version {version}")
exe = z.read(top + "kelvane.exe")
major, minor = (int(x) for x in version.split("."))
about = f"Kelvane Version {version}".encode("utf-16-le")
fixed = exe.find(struct.pack("<I", 0xFEEF04BD))  # the version resource's fixed part
ms, ls = struct.unpack_from("<II", exe, fixed + 8)
if about not in exe or fixed < 0 or (ms, ls) != (major << 16 | minor, 0):
    fails.append(f"About text or file version of kelvane.exe is not {version}")
if fails:
    sys.exit("\n".join(fails))
print(f"zip: {len(names)} files, guides CRLF and plain, version {version} throughout")
EOF

# A player's machine: the Wine prefix of the build, the zip unpacked far from the build.
wine="$root/cmake/wine-run.sh"
export WINEPREFIX="$build/wineprefix"
"$wine" cmd /c exit >/dev/null 2>&1 || true
drive="$WINEPREFIX/drive_c"
unpacked="$drive/Spiele und Downloads ü"
game="$drive/Games/Tarrow Release Test"
demo="$drive/ReleaseTest"
rm -rf "$unpacked" "$game" "$demo"
mkdir -p "$unpacked" "$game" "$demo"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$unpacked"
release="$unpacked/Kelvane-$version"
python3 "$root/scripts/make_demo_game.py" "$demo"
cp "$build/tests/versions/ver_1_0_12_0_pb1549.exe" "$demo/v1/tarrowmain.exe"
cp "$build/tests/versions/ver_2_0_5_1_pb1234.exe" "$demo/v2/tarrowmain.exe"
cp -r "$demo/v1/." "$game/"
key='HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate'
cleanup() {
  "$wine" taskkill /f /im kelvane.exe >/dev/null 2>&1 || true
  "$wine" reg delete "$key" /f >/dev/null 2>&1 || true
}
trap cleanup EXIT

# The publisher: builds and checks the patch with the release's rtptool.exe.
"$wine" "$release/rtptool.exe" build 'C:\ReleaseTest\v1' 'C:\ReleaseTest\v2' \
  'C:\ReleaseTest\tarrow_2.05_from_1.12.rtp' 2>&1 | tail -1
"$wine" "$release/rtptool.exe" apply -j 'C:\Games\Tarrow Release Test' \
  'C:\ReleaseTest\tarrow_2.05_from_1.12.rtp' | tr -d '\r' | tail -2 | tee "$work/validate.txt"
grep -qx 'result: 0' "$work/validate.txt"

# The game's installer made the registry entry; the player copies patchw32.dll into the game
# folder (PLAYERS_GUIDE.txt, "Setting up") and starts kelvane.exe from the unpacked folder.
"$wine" reg add "$key" /v Location /d 'C:\Games\Tarrow Release Test' /f >/dev/null 2>&1
"$wine" reg add "$key" /v Version /d 1.12 /f >/dev/null 2>&1
cp "$release/patchw32.dll" "$game/"
(cd "$release" && exec "$wine" kelvane.exe) &
kelvane=$!
status=0
log="$("$wine" "$build/tests/e2e/kelvane_demo_driver.exe" 'C:\ReleaseTest\tarrow_2.05_from_1.12.rtp')" ||
  status=$?
echo "$log" | tr -d '\r'
[ "$status" = 0 ] || { echo "the player's run failed ($status)"; exit 1; }
grep -q '| status: Current Tarrow version is: 2.05.1234' <<<"$log"
"$wine" taskkill /im kelvane.exe >/dev/null 2>&1 || true
wait "$kelvane" || true
diff -r -x patchw32.dll "$demo/v2" "$game"
echo "release: unpacked, installed and patched the demo game from $release"
