#!/usr/bin/env bash
# Builds and applies a patch between two directory trees with rtptool and prints patch size
# (next to gzip -9 and xz -9 of the changed files), build and apply time and peak memory.
# usage: bench_pair.sh RTPTOOL OLD_DIR NEW_DIR [WORK_DIR]
set -euo pipefail
tool="$1"; old="$2"; new="$3"; work="${4:-$(mktemp -d)}"
mkdir -p "$work"
patch="$work/bench.rtp"
measure() { /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || { cat "$work/err.txt"; exit 1; }; cat "$work/time.txt"; }
read -r build_s build_kb < <(measure "$tool" build -f --no-verify "$old" "$new" "$patch")
rm -rf "$work/game"; cp -a "$old" "$work/game"
read -r apply_s apply_kb < <(measure "$tool" apply -u "-otempdir:" "$work/game" "$patch")
if ! diff -r -x Tarrowmoor "$work/game" "$new" >/dev/null; then echo "RESULT DIFFERS" >&2; exit 1; fi
# gzip -9 / xz -9 of every new or changed file, each on its own
gz=0; xzs=0; newbytes=0
while IFS= read -r -d '' f; do
  rel="${f#$new/}"
  if [ -f "$old/$rel" ] && cmp -s "$old/$rel" "$f"; then continue; fi
  newbytes=$((newbytes + $(stat -c %s "$f")))
  gz=$((gz + $(gzip -9 -c "$f" | wc -c)))
  xzs=$((xzs + $(xz -9 -c "$f" | wc -c)))
done < <(find "$new" -type f -print0)
size=$(stat -c %s "$patch")
printf '%-28s %12s %12s %12s %12s %9s %9s %9s %9s\n' pair new_bytes rtp gzip-9 xz-9 build_s build_MB apply_s apply_MB
printf '%-28s %12d %12d %12d %12d %9.2f %9.1f %9.2f %9.1f\n' "$(basename "$new")" "$newbytes" "$size" "$gz" "$xzs" \
  "$build_s" "$(echo "$build_kb/1024" | bc -l)" "$apply_s" "$(echo "$apply_kb/1024" | bc -l)"
