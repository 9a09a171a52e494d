#!/usr/bin/env bash
# A sparse 5 GB file with changes scattered through it: builds and applies a patch natively
# and prints time and peak memory of both, and the patch size.
# usage: sparse5g.sh RTPTOOL [WORK_DIR]   (needs about 10 GB of free disk for the results)
set -euo pipefail
tool="$(readlink -f "$1")"; work="${2:-/tmp/kv-sparse5g}"
rm -rf "$work"; mkdir -p "$work/old" "$work/new"
truncate -s 5G "$work/old/huge.pak"
python3 - "$work" <<'PY'
import os, random, sys
w = sys.argv[1]; random.seed(7); size = 5 << 30
with open(w + "/old/huge.pak", "r+b") as f:          # old content: scattered records
    for i in range(200):
        f.seek(random.randrange(size - 65536)); f.write(os.urandom(65536))
os.system("cp --sparse=always '%s/old/huge.pak' '%s/new/huge.pak'" % (w, w))
with open(w + "/new/huge.pak", "r+b") as f:          # new: small edits everywhere, new records
    for i in range(300):
        f.seek(random.randrange(size - 64)); f.write(os.urandom(random.randrange(1, 64)))
    for i in range(20):
        f.seek(random.randrange(size - 65536)); f.write(os.urandom(65536))
PY
/usr/bin/time -f "build: %e s, peak %M KB" "$tool" build -f --no-verify "$work/old" "$work/new" "$work/p.rtp" 2>&1 | tail -2
ls -l "$work/p.rtp" | awk '{print "patch: " $5 " bytes"}'
mkdir -p "$work/game" && cp --sparse=always "$work/old/huge.pak" "$work/game/huge.pak"
/usr/bin/time -f "apply: %e s, peak %M KB" "$tool" apply -u "-otempdir:" "$work/game" "$work/p.rtp" | tail -1
cmp "$work/game/huge.pak" "$work/new/huge.pak" && echo "result identical"
rm -rf "$work"
