#!/usr/bin/env python3
"""A ~2 GB game archive and its next version: build and apply figures of one huge file.

`gen DIR [--size BYTES] [--seed N]` writes DIR/old/data.pak and DIR/new/data.pak, both made
deterministically from the seed (the same bytes on every machine and every run):

  old: a sequence of "assets" of log-uniform size, 4 KiB to 8 MiB, until the size is reached:
       36 % incompressible (random bytes, like already-compressed textures and audio),
       28 % text (words of a 3,000-word vocabulary drawn with Zipf-like weights, with line
            breaks and indentation, like scripts and dialogue),
       20 % records (28-byte little-endian rows: running id, kind, coordinates on a small
            grid, flags and a name from 64, like level and item tables),
        6 % padding (zero runs with a small header, like alignment in archives),
       10 % near-copies of an earlier asset (a few bytes changed, like duplicated assets).
  new: the old asset list with 3 % of assets deleted, 3 % new assets inserted, 2 % of assets
       moved to another place anywhere in the file, and 25 % of the rest edited: 1 to 8
       overwrites of 1 to 16 bytes each at random places; text assets also get 1 to 4
       insertions or deletions of 1 to 200 bytes (content shifts); record assets get one
       field changed in every 50th row. Every other asset is copied byte for byte.

`run RTPTOOL DIR [--wine RTPTOOL.exe] [--peers xdelta3,zstd,bsdiff] [-j N]` builds a patch with
rtptool (its default -j) and applies it natively and, with --wine, with the 32-bit rtptool.exe
under Wine; then the peers. Every result is compared with the new file byte for byte. Every
figure is printed with the load average it was measured at: wall and CPU seconds and peak
resident memory from /usr/bin/time -v.
Under Wine the peak memory of a process includes Wine itself: the same rtptool.exe applying a
tiny patch is measured too, and the difference is the engine's own.

`clean DIR` removes everything gen and run wrote.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

KINDS = (("random", 36), ("text", 28), ("records", 20), ("padding", 6), ("copy", 10))
MIN_ASSET, MAX_ASSET = 4 << 10, 8 << 20


def asset_size(rng):
    lo, hi = MIN_ASSET.bit_length(), MAX_ASSET.bit_length() - 1
    return int(2 ** rng.uniform(lo, hi))


def vocabulary(rng):
    letters = "etaoinshrdlucmfwypvbgkqjxz"
    words = []
    for _ in range(3000):
        n = rng.randint(2, 11)
        words.append("".join(rng.choice(letters[:rng.randint(8, 26)]) for _ in range(n)).encode())
    weights = [1.0 / (i + 1) for i in range(len(words))]
    cum, s = [], 0.0
    for w in weights:
        s += w
        cum.append(s)
    return words, cum


def make_text(rng, size, vocab):
    words, cum = vocab
    out, total = [], 0
    while total < size:
        line = b" ".join(rng.choices(words, cum_weights=cum, k=rng.randint(3, 14)))
        line = b"    " * rng.randint(0, 3) + line + (b";\n" if rng.random() < 0.5 else b"\n")
        out.append(line)
        total += len(line)
    return b"".join(out)[:size]


ROW = struct.Struct("<IHhhhH14s")  # 28 bytes


def make_records(rng, size, names):
    base = rng.randrange(1 << 24)
    kind = rng.randrange(40)
    rows = []
    for i in range(size // ROW.size + 1):
        rows.append(ROW.pack(base + i, kind + (i % 7), rng.randrange(-64, 64) * 16,
                             rng.randrange(-64, 64) * 16, rng.randrange(8) * 4, rng.getrandbits(3),
                             names[rng.randrange(len(names))]))
    return b"".join(rows)[:size]


def make_padding(rng, size):
    head = b"PAD0" + struct.pack("<I", size) + rng.randbytes(min(size, 56))
    return (head + bytes(size))[:size]


def point_edits(rng, data, count):
    b = bytearray(data)
    for _ in range(count):
        n = rng.randint(1, 16)
        if len(b) > n:
            at = rng.randrange(len(b) - n)
            b[at:at + n] = rng.randbytes(n)
    return bytes(b)


class Maker:
    """Makes assets from the seed; old assets are read back from the old file."""

    def __init__(self, seed):
        self.seed = seed
        rng = random.Random(seed)
        self.vocab = vocabulary(rng)
        self.names = [("item_%s_%d" % ("".join(rng.choice("abcdefgh") for _ in range(4)), i)).encode()
                      for i in range(64)]

    def fresh(self, rng, kind, size):
        if kind == "random":
            return rng.randbytes(size)
        if kind == "text":
            return make_text(rng, size, self.vocab)
        if kind == "records":
            return make_records(rng, size, self.names)
        return make_padding(rng, size)


def gen(args):
    rng = random.Random(args.seed)
    maker = Maker(args.seed)
    kinds = [k for k, _ in KINDS]
    weights = [w for _, w in KINDS]
    for sub in ("old", "new"):
        os.makedirs(os.path.join(args.dir, sub), exist_ok=True)
    old_path = os.path.join(args.dir, "old", "data.pak")
    new_path = os.path.join(args.dir, "new", "data.pak")
    assets = []  # (kind, offset, size)
    count = {k: 0 for k in kinds}
    with open(old_path, "wb") as f:
        total = 0
        while total < args.size:
            size = min(asset_size(rng), args.size - total)
            kind = rng.choices(kinds, weights)[0]
            if kind == "copy" and not assets:
                kind = "random"
            if kind == "copy":
                src_kind, off, src_size = assets[rng.randrange(len(assets))]
                f.flush()
                with open(old_path, "rb") as r:
                    r.seek(off)
                    data = point_edits(rng, r.read(src_size), rng.randint(1, 4))
                kind = src_kind
                count["copy"] += 1
            else:
                data = maker.fresh(rng, kind, size)
                count[kind] += 1
            f.write(data)
            assets.append((kind, total, len(data)))
            total += len(data)
    print("old: %d bytes, %d assets: %s" % (total, len(assets),
                                             ", ".join("%s %d" % kv for kv in count.items())))

    # the new version's asset order: deletions, insertions and moves
    order = []
    deleted = inserted = 0
    for i in range(len(assets)):
        r = rng.random()
        if r < 0.03:
            deleted += 1
            continue
        if r < 0.06:
            order.append(("fresh", rng.choices(kinds[:4], weights[:4])[0], asset_size(rng)))
            inserted += 1
        order.append(("old", i))
    moved = 0
    for _ in range(len(order) // 50):
        item = order.pop(rng.randrange(len(order)))
        order.insert(rng.randrange(len(order) + 1), item)
        moved += 1
    edited = 0
    with open(old_path, "rb") as r, open(new_path, "wb") as f:
        total = 0
        for item in order:
            if item[0] == "fresh":
                data = maker.fresh(rng, item[1], item[2])
            else:
                kind, off, size = assets[item[1]]
                r.seek(off)
                data = r.read(size)
                if rng.random() < 0.25:
                    edited += 1
                    data = edit(rng, kind, data)
            f.write(data)
            total += len(data)
    print("new: %d bytes, %d assets: %d deleted, %d inserted, %d moved, %d edited" %
          (total, len(order), deleted, inserted, moved, edited))


def edit(rng, kind, data):
    data = point_edits(rng, data, rng.randint(1, 8))
    if kind == "text":
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(b) + 1)
            n = rng.randint(1, 200)
            if rng.random() < 0.5:
                b[at:at] = rng.randbytes(n // 4) + b" " * (n - n // 4)
            else:
                del b[at:at + n]
        data = bytes(b)
    elif kind == "records":
        b = bytearray(data)
        for row in range(0, len(b) // ROW.size, 50):
            at = row * ROW.size + 12  # the flags field
            b[at:at + 2] = struct.pack("<H", rng.randrange(1 << 16))
        data = bytes(b)
    return data


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def measured(cmd, label, rows, cwd=None):
    """Runs cmd under /usr/bin/time -v; adds (label, wall s, cpu s, peak MB, load) to rows."""
    with tempfile.NamedTemporaryFile("r") as t:
        before = load()
        with tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(["/usr/bin/time", "-v", "-o", t.name] + cmd, cwd=cwd,
                                    stdout=subprocess.DEVNULL, stderr=err)
            hwm = 0
            while proc.poll() is None:
                hwm = max([hwm] + [high_water(p) for p in descendants(proc.pid)])
                time.sleep(0.25)
            if proc.returncode != 0:
                err.seek(0)
                sys.exit("failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd),
                                                   err.read().decode(errors="replace")[-2000:]))
        v = {}
        for line in t.read().splitlines():
            k, _, val = line.strip().rpartition(": ")
            v[k] = val
    wall = v["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":")
    secs = sum(float(x) * 60 ** i for i, x in enumerate(reversed(wall)))
    cpu = float(v["User time (seconds)"]) + float(v["System time (seconds)"])
    # the larger of what time saw (the processes it waited for) and the high-water marks
    # sampled from every process the command started (Wine's own processes included)
    peak = max(int(v["Maximum resident set size (kbytes)"]), hwm)
    row = (label, secs, cpu, peak / 1024, "%s / %s" % (before, load()))
    rows.append(row)
    print("%-34s %9.1f s wall %9.1f s cpu %9.1f MB peak   load %s" % row, flush=True)
    return row


def descendants(pid):
    """The processes below pid (read from /proc)."""
    children = {}
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open("/proc/%s/stat" % p) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
            children.setdefault(ppid, []).append(int(p))
    out, todo = [], [pid]
    while todo:
        q = todo.pop()
        out.append(q)
        todo.extend(children.get(q, []))
    return out


def high_water(pid):
    """A process's peak resident memory in KiB (VmHWM), 0 when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def same(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def run(args):
    d = os.path.abspath(args.dir)
    old_dir, new_dir = os.path.join(d, "old"), os.path.join(d, "new")
    old, new = os.path.join(old_dir, "data.pak"), os.path.join(new_dir, "data.pak")
    tool = os.path.abspath(args.rtptool)
    rows, sizes = [], {}
    patch = os.path.join(d, "big.rtp")
    game = os.path.join(d, "game")
    if not args.skip_ours:
        jflag = ["-j", str(args.j)] if args.j else []
        if not (args.reuse and os.path.exists(patch)):
            measured([tool, "build", "-f", "--no-verify"] + jflag + [old_dir, new_dir, patch],
                     "rtptool build", rows)
        sizes["rtptool"] = os.path.getsize(patch)
        print("rtptool patch: %d bytes" % sizes["rtptool"], flush=True)
        for where in ("native", "wine") if args.wine and not args.reuse else \
                ("wine",) if args.wine else ("native",):
            shutil.rmtree(game, ignore_errors=True)
            os.makedirs(game)
            shutil.copyfile(old, os.path.join(game, "data.pak"))
            tmp = os.path.join(d, "apply-tmp")
            os.makedirs(tmp, exist_ok=True)
            cmd = ["apply", "-u", "-otempdir:" + tmp, game, patch]
            cmd = [tool] + cmd if where == "native" else wine_cmd(args.wine, cmd)
            measured(cmd, "rtptool apply (%s)" % where, rows)
            if not same(os.path.join(game, "data.pak"), new):
                sys.exit("%s apply: result differs" % where)
            shutil.rmtree(game)
            if where == "wine":
                wine_baseline(args.wine, d, rows)
    peers = [p for p in args.peers.split(",") if p]
    out = os.path.join(d, "peer.out")
    for peer in peers:
        p = os.path.join(d, "peer.patch")
        if peer == "bsdiff":
            # bsdiff's own documented need: max(17 n, 9 n + 10 m) bytes (n old, m new)
            n, m = os.path.getsize(old), os.path.getsize(new)
            need = max(17 * n, 9 * n + 10 * m)
            avail = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
            if need > avail:
                print("bsdiff: skipped, needs about %.1f GB of memory, the machine has %.1f GB" %
                      (need / 1e9, avail / 1e9), flush=True)
                continue
            enc, dec = ["bsdiff", old, new, p], ["bspatch", old, out, p]
        elif peer.startswith("xdelta3"):
            # -B: the source window; the whole old file when it fits xdelta3's limit
            window = min(os.path.getsize(old), 1 << 30) if peer == "xdelta3-big" else 64 << 20
            enc = ["xdelta3", "-f", "-9", "-S", "djw", "-B", str(window), "-e", "-s", old, new, p]
            dec = ["xdelta3", "-f", "-d", "-B", str(window), "-s", old, p, out]
        elif peer.startswith("zstd"):
            n = int(peer.partition("-")[2] or 22)  # zstd-N: level N
            level = ["--ultra", "-%d" % n] if n > 19 else ["-%d" % n]
            enc = ["zstd", "-q", "-f"] + level + ["--long=31", "--patch-from=" + old, new, "-o", p]
            dec = ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + old, p, "-o", out]
        else:
            sys.exit("unknown peer " + peer)
        measured(enc, peer + " build", rows)
        sizes[peer] = os.path.getsize(p)
        print("%s patch: %d bytes" % (peer, sizes[peer]), flush=True)
        measured(dec, peer + " apply", rows)
        if not same(out, new):
            sys.exit("%s: result differs" % peer)
        os.remove(out)
        os.remove(p)
    print("\nold %d bytes, new %d bytes" % (os.path.getsize(old), os.path.getsize(new)))
    print("%-34s %10s %10s %10s   %s" % ("step", "wall s", "cpu s", "peak MB", "load before / after"))
    for r in rows:
        print("%-34s %10.1f %10.1f %10.1f   %s" % r)
    for k, v in sizes.items():
        print("%-34s %d bytes" % (k + " patch", v))


def wine_cmd(exe, argv):
    """The command that runs the Windows program `exe` under Wine through the project's
    launcher (the Windows build folder's own 32-bit prefix), paths given on drive Z:."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    os.environ.setdefault("KELVANE_BUILD_DIR", os.path.join(root, "build", "windows"))
    z = ["Z:" + a.replace("/", "\\") if a.startswith("/") else
         a.replace("-otempdir:/", "-otempdir:Z:\\").replace("/", "\\") if a.startswith("-otempdir:/")
         else a for a in argv]
    return [os.path.join(root, "cmake", "wine-run.sh"), os.path.abspath(exe)] + z


def wine_baseline(exe, d, rows):
    """The same rtptool.exe applying a one-file patch of 5 bytes: Wine's own share of memory."""
    tiny = os.path.join(d, "tiny")
    for sub, text in (("old", b"hello"), ("new", b"jello"), ("game", b"hello")):
        os.makedirs(os.path.join(tiny, sub), exist_ok=True)
        with open(os.path.join(tiny, sub, "a.txt"), "wb") as f:
            f.write(text)
    p = os.path.join(tiny, "t.rtp")
    subprocess.run(wine_cmd(exe, ["build", "-f", os.path.join(tiny, "old"), os.path.join(tiny, "new"), p]),
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.makedirs(os.path.join(tiny, "tmp"), exist_ok=True)
    measured(wine_cmd(exe, ["apply", "-u", "-otempdir:" + os.path.join(tiny, "tmp"),
                            os.path.join(tiny, "game"), p]), "rtptool apply (wine, 5-byte file)", rows)
    shutil.rmtree(tiny)


def clean(args):
    for sub in ("old", "new", "game", "apply-tmp", "tiny", "big.rtp", "peer.patch", "peer.out"):
        p = os.path.join(args.dir, sub)
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.exists(p):
            os.remove(p)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("gen")
    g.add_argument("dir")
    g.add_argument("--size", type=int, default=2_000_000_000)
    g.add_argument("--seed", type=int, default=19)
    r = sub.add_parser("run")
    r.add_argument("rtptool")
    r.add_argument("dir")
    r.add_argument("--wine", help="rtptool.exe to apply with under Wine as well")
    r.add_argument("--peers", default="xdelta3,zstd-19,bsdiff",
                   help="of xdelta3 (-B 64 MiB), xdelta3-big (-B 1 GiB), zstd-N (level N, default 22), "
                        "bsdiff")
    r.add_argument("--skip-ours", action="store_true")
    r.add_argument("--reuse", action="store_true",
                   help="apply the patch the last run built (under Wine only, with --wine)")
    r.add_argument("-j", type=int, default=0, help="rtptool build -j (default: its own)")
    c = sub.add_parser("clean")
    c.add_argument("dir")
    args = ap.parse_args()
    {"gen": gen, "run": run, "clean": clean}[args.cmd](args)


if __name__ == "__main__":
    main()
