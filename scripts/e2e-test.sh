#!/usr/bin/env bash
# Runs the end-to-end scenarios: builds kelvane.exe, patchw32.dll, rtptool.exe and the
# driver, then the driver works the real program under Wine and Xvfb. Screenshots (.bmp, and
# .png when ImageMagick is there) and the run's log land in build/windows/artifacts.
# Serialised with the other Wine runs (shared build folder, prefix and registry key).
#   scripts/e2e-test.sh                 every scenario
#   scripts/e2e-test.sh '*Queue*'       a GoogleTest filter
set -u
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/windows"
filter="${1:-*}"
exec 9>/tmp/kelvane-windows.lock
flock 9
[ -f "$build/CMakeCache.txt" ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target kelvane_e2e kelvane_demo_driver 2>&1 |
  grep -E 'error|Error' | head -40
[ "${PIPESTATUS[0]}" = 0 ] || { echo "BUILD FAILED"; exit 1; }
"$root/cmake/xvfb.sh" start "$build"
artifacts="$build/artifacts"
mkdir -p "$artifacts"
rm -f "$artifacts"/e2e-*
KELVANE_BUILD_DIR="$build" KELVANE_SOURCE_DIR="$root" KELVANE_ARTIFACTS="$artifacts" \
  timeout 1800 "$root/cmake/wine-run.sh" "$build/tests/e2e/kelvane_e2e.exe" --gtest_filter="$filter"
status=$?
if command -v convert >/dev/null; then
  for bmp in "$artifacts"/e2e-*.bmp; do
    [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi
ls "$artifacts"/e2e-* 2>/dev/null | sed 's/^/artifact: /'
exit $status
