#!/usr/bin/env bash
# Developer helper: builds the Windows targets and runs the Wine tests of the tool,
# optionally only those matching a GoogleTest filter. Serialised with a lock, because
# the build folder, the Wine prefix and the game's registry key are shared.
#   scripts/wine-test.sh 'EngineRun*'     scripts/wine-test.sh
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/windows"
filter="${1:-*}"
exec 9>/tmp/kelvane-windows.lock
flock 9
[ -f "$build/CMakeCache.txt" ] || cmake --preset windows >/dev/null
cmake --build --preset windows 2>&1 | grep -E 'error|Error|warning: unused' | head -40
[ "${PIPESTATUS[0]}" = 0 ] || { echo "BUILD FAILED"; exit 1; }
"$root/cmake/xvfb.sh" start "$build"
. "$root/scripts/small-volume.sh"
kelvane_small_volume "$root/build" || true # the full-disk tests then say why they fail
KELVANE_BUILD_DIR="$build" KELVANE_SOURCE_DIR="$root" KELVANE_ARTIFACTS="$build/artifacts" \
  timeout 900 "$root/cmake/wine-run.sh" "$build/tests/kelvane_wine_tests.exe" --gtest_filter="$filter"
