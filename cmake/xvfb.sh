#!/usr/bin/env bash
# start BUILD_DIR: starts Xvfb on a free display and records it; stop BUILD_DIR: stops it
# and the Wine server of the build's prefix.
set -u
cmd="$1"; build="$2"
case "$cmd" in
start)
  if [ -f "$build/xvfb.pid" ] && kill -0 "$(cat "$build/xvfb.pid")" 2>/dev/null; then exit 0; fi
  exec 3>"$build/xvfb.fd"
  # Xvfb must not inherit any lock descriptor of the caller (fd 9 of scripts/wine-test.sh).
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 9>&- &
  echo $! >"$build/xvfb.pid"
  for _ in $(seq 100); do
    n=$(cat "$build/xvfb.fd" 2>/dev/null)
    if [ -n "$n" ]; then echo "$n" >"$build/xvfb.display"; exit 0; fi
    sleep 0.1
  done
  echo "Xvfb did not start" >&2; exit 1 ;;
stop)
  WINEPREFIX="$build/wineprefix" wineserver -k >/dev/null 2>&1 || true
  if [ -f "$build/xvfb.pid" ]; then kill "$(cat "$build/xvfb.pid")" 2>/dev/null || true; fi
  rm -f "$build/xvfb.pid" "$build/xvfb.display" "$build/xvfb.fd"
  exit 0 ;;
esac
