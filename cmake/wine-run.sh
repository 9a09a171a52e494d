#!/usr/bin/env bash
# Runs a Windows program under Wine with the build folder's private 32-bit prefix.
# The prefix is created on first use. DISPLAY comes from the Xvfb that the test
# run started (its number is kept in $KELVANE_BUILD_DIR/xvfb.display), unless set.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
build="${KELVANE_BUILD_DIR:-$PWD}"
export WINEARCH=win32
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ] && [ -f "$build/xvfb.display" ]; then
  export DISPLAY=":$(cat "$build/xvfb.display")"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
if [ ! -f "$WINEPREFIX/.kelvane-unmanaged" ]; then
  # Windows not managed by an X window manager: without one (Xvfb), closing a managed
  # window makes Wine wait two seconds for the manager to withdraw it.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 9>&-
  wineserver -w
  touch "$WINEPREFIX/.kelvane-unmanaged"
fi
exec wine "$@" 9>&-
