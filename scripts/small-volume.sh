#!/usr/bin/env bash
# Sourced by the test scripts: mounts a 64 KiB tmpfs as the small volume that the full-disk
# tests fill, and exports KELVANE_SMALL_VOLUME (its Windows path under Wine) for them. Needs
# root; without it, name a small volume yourself in KELVANE_SMALL_VOLUME. Returns non-zero
# when there is no small volume: the full-disk tests then fail instead of passing unseen.
kelvane_small_volume() {
  [ -n "${KELVANE_SMALL_VOLUME:-}" ] && return 0
  local dir="$1/small-volume"
  mkdir -p "$dir"
  if ! mountpoint -q "$dir" && ! mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
    echo "cannot mount the small volume at $dir (run as root, or set KELVANE_SMALL_VOLUME)" >&2
    return 1
  fi
  export KELVANE_SMALL_VOLUME="Z:$(echo "$dir" | tr / '\\')"
}
