#!/usr/bin/env bash
# Makes the release zip that players and publishers unpack:
#   Kelvane-<version>/kelvane.exe            the patch tool
#   Kelvane-<version>/patchw32.dll           the patch engine (goes into the game folder)
#   Kelvane-<version>/rtptool.exe            the patch builder
#   Kelvane-<version>/PLAYERS_GUIDE.txt      from docs/PLAYERS_GUIDE.md
#   Kelvane-<version>/PUBLISHERS_GUIDE.txt   from docs/PUBLISHERS_GUIDE.md
#   Kelvane-<version>/FORMAT.md              the patch format and the engine's contract
#   Kelvane-<version>/LICENSE.txt
#   Kelvane-<version>/THIRD-PARTY-NOTICES.txt
# Text files get Windows line ends; the guides are plain text wrapped for Notepad.
# Writes OUT/Kelvane-<version>.zip and OUT/SHA256SUMS, and prints the zip's path and SHA-256.
# Builds the three Windows programs first (the Windows build folder is shared with the Wine
# test runs, hence the lock).
#   scripts/make-release.sh [--no-build] [--out DIR]      (DIR: build/release by default)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KELVANE_BUILD_DIR:-$root/build/windows}"
out="$root/build/release"
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
  --no-build) do_build=0 ;;
  --out) out="$2"; shift ;;
  *) echo "usage: $0 [--no-build] [--out DIR]" >&2; exit 64 ;;
  esac
  shift
done
version="$(sed -n 's/^project(Kelvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="Kelvane-$version"
for guide in PLAYERS_GUIDE PUBLISHERS_GUIDE; do
  head -1 "$root/docs/$guide.md" | grep -q "Kelvane $version:" ||
    { echo "docs/$guide.md does not name version $version in its title" >&2; exit 1; }
done
if [ "$do_build" = 1 ]; then
  (
    flock 9
    [ -f "$build/CMakeCache.txt" ] || cmake --preset windows >/dev/null
    cmake --build --preset windows --target kelvane patchw32 rtptool 9>&- >&2
  ) 9>/tmp/kelvane-windows.lock
fi

stage="$out/$name"
rm -rf "$stage" "$out/$name.zip" "$out/SHA256SUMS"
mkdir -p "$stage"
cp "$build/kelvane.exe" "$build/patchw32/patchw32.dll" "$build/tools/rtptool.exe" "$stage/"
python3 "$root/scripts/md2txt.py" "$root/docs/PLAYERS_GUIDE.md" "$stage/PLAYERS_GUIDE.txt"
python3 "$root/scripts/md2txt.py" "$root/docs/PUBLISHERS_GUIDE.md" "$stage/PUBLISHERS_GUIDE.txt"
sed 's/$/\r/' "$root/patchw32/FORMAT.md" >"$stage/FORMAT.md"
sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"
sed 's/$/\r/' "$root/docs/THIRD-PARTY-NOTICES.txt" >"$stage/THIRD-PARTY-NOTICES.txt"
python3 - "$out" "$name" <<'EOF'
import os, sys, zipfile
out, name = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w", zipfile.ZIP_DEFLATED) as z:
    for f in sorted(os.listdir(os.path.join(out, name))):
        z.write(os.path.join(out, name, f), name + "/" + f)
EOF
(cd "$out" && sha256sum "$name.zip" >SHA256SUMS)
echo "release: $out/$name.zip"
echo "sha256: $(cut -d' ' -f1 "$out/SHA256SUMS")"
