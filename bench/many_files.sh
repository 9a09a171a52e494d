#!/usr/bin/env bash
# A patch that touches thousands of small files: N files of 512 bytes in 350 folders, every one
# changed. Builds the patch natively, then applies it three ways and prints seconds and
# milliseconds per file for each:
#   native   build/native-release/tools/rtptool apply
#   wine     build/windows/tools/rtptool.exe apply under Wine (the engine alone)
#   dialog   the real kelvane.exe under Wine and Xvfb: Select Patch, then Patch, as a player
#            does (bench/dialog_bench.cpp works its windows and probes that it stays responsive)
# Every result is compared with the new tree. Beside the wall time each line shows CPU seconds:
# the process's own (user + system), and for the Wine runs the bench prefix's wineserver's
# (every file-system call of a Windows program passes through it); the machine may be shared,
# so the CPU figures tell a slow run from a busy machine.
#
# usage: bench/many_files.sh [N ...]          (default: 4000 20000)
#   BENCH_MODES="native wine dialog"          which runs to make
#   BENCH_WORK=build/bench-many               where trees, patches and the Wine prefix go
#   BENCH_WINDOWS_BIN=DIR                     Windows programs from DIR (laid out as
#                                             build/windows) instead of building them
# Builds what it needs first (presets native-release and windows). Slow at 20,000 files: run
# it in the background with its output in a file.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(4000 20000)
modes="${BENCH_MODES:-native wine dialog}"
work="$(realpath -m "${BENCH_WORK:-build/bench-many}")"
mkdir -p "$work"

cmake --preset native-release >/dev/null
cmake --build --preset native-release --target rtptool >/dev/null
win="$(realpath -m "${BENCH_WINDOWS_BIN:-build/windows}")"
if [[ -z "${BENCH_WINDOWS_BIN:-}" && ( "$modes" == *wine* || "$modes" == *dialog* ) ]]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target rtptool patchw32 kelvane kelvane_dialog_bench >/dev/null
fi
tool="$root/build/native-release/tools/rtptool"

# The two trees: file i lies in folder i mod 350; the new version differs in 8 bytes.
make_trees() {
  python3 - "$1" "$2" <<'EOF'
import os, random, sys
n, out = int(sys.argv[1]), sys.argv[2]
rng = random.Random(n)
for i in range(n):
    folder = "Area%02d/Zone%02d" % (i % 350 // 25, i % 25)
    old = bytes(rng.randrange(256) for _ in range(512))
    pos = rng.randrange(504)
    new = old[:pos] + bytes(rng.randrange(256) for _ in range(8)) + old[pos + 8:]
    for tree, data in (("v1", old), ("v2", new)):
        d = os.path.join(out, tree, folder)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "item_%05d.dat" % i), "wb") as f:
            f.write(data)
EOF
}

now() { date +%s.%N; }
results=()
report() { # mode n seconds [cpu text]
  local line
  line=$(printf '%-8s %7d files %9.2f s %8.2f ms/file  %s' "$1" "$2" "$3" \
    "$(echo "$3 * 1000 / $2" | bc -l)" "${4:-}")
  echo "$line"
  results+=("$line")
}
same_as_new() { # game-dir n
  if ! diff -r -q -x Tarrowmoor -x patchw32.dll "$1" "$work/$2/v2" >/dev/null; then
    echo "RESULT DIFFERS from the new tree after the run above" >&2
    exit 1
  fi
}

cpu_of() { # the CPU seconds that /usr/bin/time wrote to file $1
  awk '{printf "%.2f", $1 + $2}' "$1"
}
server_pid=""
server_cpu() { # CPU seconds of the bench prefix's wineserver so far
  [ -n "$server_pid" ] || { echo 0; return; }
  awk '{printf "%.2f", ($14 + $15) / 100}' "/proc/$server_pid/stat" 2>/dev/null || echo 0
}
wine_ready=0
start_wine() {
  [ "$wine_ready" = 0 ] || return 0
  export KELVANE_BUILD_DIR="$work" WINEPREFIX="$work/wineprefix"
  bash cmake/xvfb.sh start "$work"
  export DISPLAY=":$(cat "$work/xvfb.display")"
  trap 'WINEPREFIX="$work/wineprefix" wineserver -k 2>/dev/null || true; bash "$root/cmake/xvfb.sh" stop "$work"' EXIT
  cmake/wine-run.sh cmd /c exit >/dev/null 2>&1 || true # creates the prefix on first use
  wineserver -w
  wineserver -p # kept running between the runs, so no run pays for starting it
  # The server of this prefix runs in a folder named after the prefix's device and inode.
  local key pid
  key=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
  for pid in $(pgrep wineserver); do
    case "$(readlink "/proc/$pid/cwd")" in *"$key") server_pid=$pid ;; esac
  done
  cmake/wine-run.sh reg add 'HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate' /v Location /d 'C:\Games\Bench' /f >/dev/null 2>&1
  cmake/wine-run.sh reg add 'HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate' /v Version /d '1.0' /f >/dev/null 2>&1
  mkdir -p "$WINEPREFIX/drive_c/Kelvane" "$WINEPREFIX/drive_c/Patches" "$WINEPREFIX/drive_c/Temp"
  cp "$win/kelvane.exe" "$WINEPREFIX/drive_c/Kelvane/"
  wine_ready=1
}
# The temp directory of the Wine runs is C:\Temp of the bench's own prefix, never Kelvane's
# default (under Wine the roomiest drive is Z:, the host's root folder, where a killed run
# would leave its work folder).
tempdir='C:\Temp'
temp_left_clean() {
  if [ -n "$(ls -A "$WINEPREFIX/drive_c/Temp")" ]; then
    echo "WORK FILES LEFT in the temp directory after the run above:" >&2
    ls -A "$WINEPREFIX/drive_c/Temp" >&2
    exit 1
  fi
}
fresh_wine_game() { # n
  game="$WINEPREFIX/drive_c/Games/Bench"
  rm -rf "$game" "$WINEPREFIX/drive_c/Temp"
  mkdir -p "$(dirname "$game")" "$WINEPREFIX/drive_c/Temp"
  cp -a "$work/$1/v1" "$game"
  cp "$win/patchw32/patchw32.dll" "$game/"
  cp "$work/$1/many.rtp" "$WINEPREFIX/drive_c/Patches/many.rtp"
}

for n in "${sizes[@]}"; do
  if [ ! -f "$work/$n/many.rtp" ]; then
    rm -rf "$work/$n"
    mkdir -p "$work/$n"
    make_trees "$n" "$work/$n"
    "$tool" build "$work/$n/v1" "$work/$n/v2" "$work/$n/many.rtp" >/dev/null 2>&1
  fi
  echo "== $n files, patch $(stat -c %s "$work/$n/many.rtp") bytes"

  if [[ "$modes" == *native* ]]; then
    rm -rf "$work/game"
    cp -a "$work/$n/v1" "$work/game"
    sync
    t0=$(now)
    /usr/bin/time -f '%U %S' -o "$work/cpu.txt" "$tool" apply -u "$work/game" "$work/$n/many.rtp" \
      >"$work/native.log"
    report native "$n" "$(echo "$(now) - $t0" | bc -l)" "cpu $(cpu_of "$work/cpu.txt") s"
    same_as_new "$work/game" "$n"
  fi

  if [[ "$modes" == *dialog* ]]; then
    start_wine
    fresh_wine_game "$n"
    s0=$(server_cpu)
    ( cd "$WINEPREFIX/drive_c/Kelvane" && exec "$root/cmake/wine-run.sh" kelvane.exe ) &
    cmake/wine-run.sh "$win/bench/kelvane_dialog_bench.exe" 'C:\Patches\many.rtp' \
      "$((n + 4))" "$tempdir" >"$work/dialog.log" 2>&1 || { cat "$work/dialog.log"; exit 1; }
    cmake/wine-run.sh taskkill /f /im kelvane.exe >/dev/null 2>&1 || true
    wait
    sed 's/^/    /' "$work/dialog.log"
    report dialog "$n" "$(sed -n 's/^patch_s: //p' "$work/dialog.log" | tr -d '\r')" \
      "wineserver cpu $(echo "$(server_cpu) - $s0" | bc) s (whole session)"
    same_as_new "$game" "$n"
    temp_left_clean
  fi

  if [[ "$modes" == *wine* ]]; then
    start_wine
    fresh_wine_game "$n"
    # The same temp directory as the dialog's run, so both do the same work.
    s0=$(server_cpu)
    t0=$(now)
    /usr/bin/time -f '%U %S' -o "$work/cpu.txt" cmake/wine-run.sh "$win/tools/rtptool.exe" apply \
      -u "-otempdir:$tempdir" 'C:\Games\Bench' 'C:\Patches\many.rtp' >"$work/wine.log" 2>&1
    report wine "$n" "$(echo "$(now) - $t0" | bc -l)" \
      "cpu $(cpu_of "$work/cpu.txt") s, wineserver cpu $(echo "$(server_cpu) - $s0" | bc) s"
    echo "    temp directory $tempdir; $(grep -a '^summary' "$work/wine.log" | tr -d '\r')"
    same_as_new "$game" "$n"
    temp_left_clean
  fi
done
echo "== summary"
printf '%s\n' "${results[@]}"
