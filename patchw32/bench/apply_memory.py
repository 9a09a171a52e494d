#!/usr/bin/env python3
"""Peak memory of an apply when the engine's memory limits are reached, alone and all at once.

The 32-bit engine must keep a whole apply under 64 MB whatever the patch. Its memory has a
bound per part: delta blocks in flight within the block decoder's budget (40 MiB in 32 bits;
each block charged with its streams, output, old bytes and its context-mixing models' tables),
new files kept in memory for later entries that read them as sources (16 MiB), the literal
store (2 MiB, and its model's tables while it is decoded when the patch is opened), the
directory (65,536 entries, 4 MiB of paths), the old file kept for its decoding (1 MiB in 32
bits) and the instruction history of an entry (131,072 instructions). This script makes trees
whose patch, built by rtptool with --smallest (so that blocks take the context-mixing codings),
reaches those limits, builds each case's patch natively and applies it with the native rtptool
and with the 32-bit rtptool.exe under Wine, checking the result byte for byte.

Parts (every case is some of them; `all` is every one in one patch, in directory order):
  store  a/: 40 added text files of 52,000 bytes (words of a large random vocabulary): the
         builder puts them in a literal store of about 2 MiB, coded with its store model.
  dir    d/: 65,536 entries in all, the rest empty added folders whose paths bring the patch's
         path bytes to just under 4 MiB. They are made in the game copy before the apply, so
         the engine only classifies them (65,000 folder creations would time the file system).
  kept   k/a.bin, 16 MiB of random bytes, added; z/b.bin, the same with one byte in 600
         changed, added: its source is the new k/a.bin, which the engine keeps in memory from
         its decode until z/b.bin is made. z/b.bin decodes in 4 MiB blocks of context-mixed
         differences, as many at once as the cores and the budget allow.
  big    l/big.bin: 24 MiB of random bytes with one byte in 600 changed: 4 MiB blocks with
         context-mixed differences (decoded while k/a.bin is kept, in `all`).
  hist   m/c.bin: an old file of 1 MiB (kept in memory for its decoding) and a new one of
         16 copies of it, with 1 to 3 text bytes inserted and one byte changed about every
         110 bytes: more than 131,072 instructions (coded against the instruction history,
         which stops growing there), 1 MiB blocks with context-mixed differences and literals.

The memory of each apply is measured twice: the largest VmHWM of the process read from /proc
every 5 ms while it runs (under Wine, the Windows process, Wine's own libraries and heaps
included) and the peak the engine reports itself with rtptool --stats (the peak working set
under Wine). A tiny patch's apply under Wine gives Wine's own share (the `tiny` case), which
the table takes off. The cases with `dir` take minutes under Wine (65,536 entries classified).

usage: apply_memory.py RTPTOOL RTPTOOL.exe [--dir DIR] [--cases all,dir,...] [--keep]
(DIR: where the trees and patches go, default a new folder in /tmp; --keep leaves them)
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from big_file import wine_cmd  # noqa: E402

MAX_ENTRIES = 65536
MAX_PATH_BYTES = 4 << 20
KEPT = 16 << 20
CASES = {
    "tiny": (),
    "store": ("store",),
    "dir": ("dir",),
    "kept": ("kept",),
    "big": ("big",),
    "hist": ("hist",),
    "all": ("store", "dir", "kept", "big", "hist"),
}


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def sprinkle(rng, data, every):
    """data with one byte in about `every` changed to another value."""
    out = bytearray(data)
    at = rng.randrange(every)
    while at < len(out):
        out[at] = (out[at] + rng.randrange(1, 256)) & 0xFF
        at += rng.randrange(every // 2, every * 3 // 2)
    return bytes(out)


def store_files(rng):
    letters = "etaoinshrdlucmfwypvbgkqjxz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(3, 10))) for _ in range(20000)]
    files = {}
    for i in range(40):
        text, size = [], 0
        while size < 52000:
            line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 12))) + ";\n"
            text.append(line)
            size += len(line)
        files["a/s%02d.txt" % i] = "".join(text).encode()[:52000]
    return files


def hist_pair(rng):
    old = rng.randbytes(1 << 20)
    out = bytearray()
    for _ in range(16):
        at = 0
        while at < len(old):
            step = rng.randrange(60, 160)
            piece = bytearray(old[at:at + step])
            if piece:
                piece[rng.randrange(len(piece))] ^= 1 + rng.randrange(255)
            out += piece
            out += rng.choice((b"a", b"if ", b"on"))
            at += step
    return old, bytes(out)


def folder_names(count, path_budget):
    """count folder paths under d/ whose lengths add up to at most path_budget."""
    each = min(200, path_budget // count)
    return ["d/%07d" % i + "x" * (each - 9) for i in range(count)]


def make_trees(root, parts, seed=19):
    """Writes root/old and root/new for the parts; returns the folders to make in the game."""
    rng = random.Random(seed)
    old, new = os.path.join(root, "old"), os.path.join(root, "new")
    for d in (old, new):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    files_old, files_new = {}, {}
    if "store" in parts:
        files_new.update(store_files(rng))
    if "kept" in parts:
        a = rng.randbytes(KEPT)
        files_new["k/a.bin"] = a
        files_new["z/b.bin"] = sprinkle(rng, a, 600)
    if "big" in parts:
        b = rng.randbytes(24 << 20)
        files_old["l/big.bin"] = b
        files_new["l/big.bin"] = sprinkle(rng, b, 600)
    if "hist" in parts:
        files_old["m/c.bin"], files_new["m/c.bin"] = hist_pair(rng)
    if not files_new:  # the tiny case: Wine's own memory
        files_old["t.txt"], files_new["t.txt"] = b"hello", b"jello"
    for name, data in files_old.items():
        write(os.path.join(old, name), data)
    for name, data in files_new.items():
        write(os.path.join(new, name), data)
    folders = []
    if "dir" in parts:
        os.makedirs(os.path.join(old, "d"))
        entries = len(files_new) + (len(set(n.split("/")[0] for n in files_new)) -
                                    len(set(n.split("/")[0] for n in files_old)))
        used = sum(len(n) for n in files_new) + 64
        folders = folder_names(MAX_ENTRIES - entries, MAX_PATH_BYTES - used)
        for f in folders:
            os.makedirs(os.path.join(new, f))
    return old, new, folders


def run_peak(cmd):
    """Runs cmd; returns (exit code, largest VmHWM in KiB seen in /proc, its stderr, seconds)."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=err)
        hwm = 0
        while p.poll() is None:
            try:
                with open("/proc/%d/status" % p.pid) as f:
                    m = re.search(r"VmHWM:\s+(\d+) kB", f.read())
                    if m:
                        hwm = max(hwm, int(m.group(1)))
            except OSError:
                pass
            time.sleep(0.005)
        wall = time.perf_counter() - start
        err.seek(0)
        return p.returncode, hwm, err.read().decode(errors="replace"), wall


def same_tree(a, b):
    r = subprocess.run(["diff", "-r", "-q", a, b], stdout=subprocess.DEVNULL)
    return r.returncode == 0


def apply_once(tool, where, root, patch, old, new, folders):
    game, tmp = os.path.join(root, "game"), os.path.join(root, "tmp")
    for d in (game, tmp):
        shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(old, game)
    os.makedirs(tmp)
    for f in folders:
        os.makedirs(os.path.join(game, f), exist_ok=True)
    argv = ["--stats", "apply", "-u", "-otempdir:" + tmp, game, patch]
    cmd = [tool] + argv if where == "native" else wine_cmd(tool, argv)
    rc, hwm, err, wall = run_peak(cmd)
    m = re.search(r"peak memory (\d+) KiB", err)
    if rc != 0 or not same_tree(game, new):
        sys.exit("%s apply of %s failed (code %d) or differs:\n%s" % (where, patch, rc, err[-2000:]))
    shutil.rmtree(game)
    shutil.rmtree(tmp)
    return hwm, int(m.group(1)) if m else 0, wall


def load():
    return "%.1f" % os.getloadavg()[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("rtptool")
    ap.add_argument("rtptool_exe")
    ap.add_argument("--dir")
    ap.add_argument("--cases", default="tiny,store,dir,kept,big,hist,all")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    root = args.dir or tempfile.mkdtemp(prefix="apply_memory.")
    os.makedirs(root, exist_ok=True)
    rows = []
    try:
        for case in args.cases.split(","):
            d = os.path.join(root, case)
            os.makedirs(d, exist_ok=True)
            old, new, folders = make_trees(d, CASES[case])
            patch = os.path.join(d, "p.rtp")
            subprocess.run([args.rtptool, "-q", "build", "-f", "--smallest", old, new, patch],
                           check=True)
            row = [case, os.path.getsize(patch)]
            for tool, where in ((args.rtptool, "native"), (args.rtptool_exe, "wine")):
                hwm, own, wall = apply_once(tool, where, d, patch, old, new, folders)
                row += [hwm / 1024, own / 1024, wall]
            row.append(load())
            rows.append(row)
            # The native "own" figure is getrusage's, which counts the memory of the forking
            # script as the child's floor: the /proc figure is the one to read.
            print("%-6s patch %10d  native %6.1f MB (own %6.1f) %6.1f s  wine %6.1f MB (own %6.1f)"
                  " %6.1f s  load %s" % tuple(row), flush=True)
            shutil.rmtree(os.path.join(d, "old"))
            shutil.rmtree(os.path.join(d, "new"))
    finally:
        if not args.keep and not args.dir:
            shutil.rmtree(root, ignore_errors=True)
    # Wine's own share: the tiny case's peak, when it was measured.
    wine_own = next((max(r[5], r[6]) for r in rows if r[0] == "tiny"), 0.0)
    print("\n| case | patch bytes | peak under Wine (MB) | less Wine's own (MB) | native peak (MB) |"
          " limit |")
    print("|---|---|---|---|---|---|")
    for r in rows:
        wine = max(r[5], r[6])
        print("| %s | %d | %.1f | %.1f | %.1f | 64 MB (32-bit) |" % (r[0], r[1], wine, wine - wine_own,
                                                                   r[2]))


if __name__ == "__main__":
    main()
