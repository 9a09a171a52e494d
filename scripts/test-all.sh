#!/usr/bin/env bash
# Installs what is missing, builds the native and the Windows targets, and runs every test:
# natively with sanitizers, and the Windows programs under Wine with Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash .ci/setup-deps.sh
status=0
# The full-disk tests write backups onto a tiny volume; a tmpfs of 64 KiB serves as one
# where this machine lets us mount it (as root).
small="$root/build/small-volume"
if [ -z "${KELVANE_SMALL_VOLUME:-}" ] && [ "$(id -u)" = 0 ]; then
  mkdir -p "$small"
  if mountpoint -q "$small" || mount -t tmpfs -o size=64k tmpfs "$small" 2>/dev/null; then
    export KELVANE_SMALL_VOLUME="Z:$(echo "$small" | tr / '\\')"
    trap 'umount "$small" 2>/dev/null || true' EXIT
  fi
fi
cmake --preset native
cmake --build --preset native
ctest --preset native || status=1
cmake --preset windows
cmake --build --preset windows
ctest --preset windows || status=1
exit $status
