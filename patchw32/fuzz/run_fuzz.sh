#!/usr/bin/env bash
# Builds the libFuzzer target with clang (address and undefined-behaviour sanitizers) and runs
# it for a bounded time over the seed corpus in this folder.
# usage: run_fuzz.sh [SECONDS] [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$here/../src"
secs="${1:-300}"
build="${2:-$here/../../build/fuzz}"
mkdir -p "$build/corpus" "$build/obj"
cp -n "$here"/corpus/* "$build/corpus/" 2>/dev/null || true
mkdir -p "$build/include"; cp /usr/include/xxhash.h "$build/include/"
flags="-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I$src -isystem $build/include"
objs=()
newest_header="$(ls -t "$src"/*.h | head -1)"
# Every engine source but the Windows OS layer.
for cpp in "$src"/*.cpp; do
  f="$(basename "$cpp" .cpp)"
  [ "$f" = os_win32 ] && continue
  o="$build/obj/$f.o"
  # A changed header changes every object that includes it (structure layouts).
  if [ ! -f "$o" ] || [ "$src/$f.cpp" -nt "$o" ] || [ "$newest_header" -nt "$o" ]; then
    clang++ $flags -fsanitize=fuzzer-no-link -c "$src/$f.cpp" -o "$o"
  fi
  objs+=("$o")
done
clang++ $flags "$here/fuzz_patch.cpp" "${objs[@]}" -lz -lcrypto -o "$build/fuzz_patch"
cd "$build"
./fuzz_patch -max_total_time="$secs" -max_len=65536 -timeout=20 -rss_limit_mb=2048 \
  -artifact_prefix="$build/" corpus "$here/corpus" 2>&1 | tee "$build/fuzz.log" | grep -E "^#[0-9]+.*(DONE|pulse)|ERROR|SUMMARY|Done" || true
grep -E "stat::number_executed_units|cov:" "$build/fuzz.log" | tail -2
