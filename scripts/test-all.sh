#!/usr/bin/env bash
# Installs what is missing, builds the native and the Windows targets, and runs every test:
# natively with sanitizers, and the Windows programs under Wine with Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash .ci/setup-deps.sh
status=0
# The full-disk tests write backups onto a tiny volume: a tmpfs of 64 KiB, mounted here (as
# root, which CI is). Without one they fail rather than pass unseen.
. "$root/scripts/small-volume.sh"
kelvane_small_volume "$root/build" || status=1
if mountpoint -q "$root/build/small-volume"; then
  trap 'umount "$root/build/small-volume" 2>/dev/null || true' EXIT
fi
cmake --preset native
cmake --build --preset native
ctest --preset native || status=1
cmake --preset windows
cmake --build --preset windows
ctest --preset windows || status=1
exit $status
