#!/usr/bin/env bash
# Installs what is missing, builds the native and the Windows targets, and runs every test:
# natively with sanitizers, and the Windows programs under Wine with Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash .ci/setup-deps.sh
status=0
cmake --preset native
cmake --build --preset native
ctest --preset native || status=1
cmake --preset windows
cmake --build --preset windows
ctest --preset windows || status=1
exit $status
