#!/usr/bin/env python3
"""Patch race: our engine against bsdiff, xdelta3 and zstd on real version pairs.

For every pair of published package versions (fetched with `npm pack` and cached) it builds
and applies patches side by side: ours per tree with rtptool, the peers per changed or added
file, and a tree-level stand-in (tar of each tree, zstd --patch-from). Every result is checked
byte for byte. It prints patch bytes, the ratio to the new
tree's size, build and apply seconds, peak memory (the largest of any single process) and the
player's time T(b) = patch bytes / b + apply seconds at 20 and 100 Mbit/s. Ours is built three
times: with --smallest (for the size ratio) and with --bandwidth 20M and 100M (for the T ratios).

usage: race.py RTPTOOL [--cache DIR] [--pairs NAME,...] [--peers NAME,...] [--repeat N] [--ours-only]
                      [--cpu]
(--peers: some of bsdiff, xdelta3, zstd, tree; all by default; the targets' ratios are printed
only against the peers raced; --repeat: every tool's apply is timed N times and the least
counts, for machines that other work shares)
Needs bsdiff, xdelta3, zstd, npm, GNU tar and GNU time (Debian packages bsdiff, xdelta3, zstd, npm,
tar, time);
before racing it installs the missing ones with apt-get (through sudo unless run as root) and
says which.
"""
import argparse
import ctypes
import filecmp
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

PAIRS = {
    # a native executable, two nearby releases
    "esbuild": ("@esbuild/linux-x64@0.19.11", "@esbuild/linux-x64@0.19.12"),
    # many changed script and data files
    "typescript": ("typescript@5.3.2", "typescript@5.3.3"),
    # one large binary
    "swc": ("@swc/core-linux-x64-gnu@1.3.100", "@swc/core-linux-x64-gnu@1.3.101"),
    # a major release of a script tree: 123 changed script files, 6 added, 16 removed
    "eslint": ("eslint@8.57.0", "eslint@9.0.0"),
    # a tree reorganised into new folders: compiler/compiler.js moved to
    # build/require/compiler/compiler.js and so on, one large file split into many
    "typebox": ("@sinclair/typebox@0.31.28", "@sinclair/typebox@0.32.0"),
}

SCRIPTS = (".js", ".mjs", ".cjs", ".ts", ".mts", ".cts")


# The programs the race runs, with the Debian package of each.
NEEDED = {
    "bsdiff": "bsdiff",
    "bspatch": "bsdiff",
    "xdelta3": "xdelta3",
    "zstd": "zstd",
    "npm": "npm",
    "tar": "tar",
    "/usr/bin/time": "time",
}


def install_missing():
    """Installs the packages of the programs that are missing, with apt-get."""
    missing = sorted({pkg for prog, pkg in NEEDED.items() if not shutil.which(prog)})
    if not missing:
        return
    if not shutil.which("apt-get"):
        sys.exit("missing packages %s, and no apt-get to install them" % " ".join(missing))
    prefix = ["env", "DEBIAN_FRONTEND=noninteractive"]
    if os.geteuid() != 0:
        if not shutil.which("sudo"):
            sys.exit("missing packages %s; installing them needs root or sudo" % " ".join(missing))
        prefix = ["sudo"] + prefix
    print("installing missing packages: %s" % " ".join(missing), flush=True)
    install = prefix + ["apt-get", "install", "-y"] + missing
    if subprocess.run(install).returncode != 0:
        # The package lists may be missing or stale: refresh them once and try again.
        subprocess.run(prefix + ["apt-get", "update"])
        subprocess.run(install)
    still = [prog for prog in NEEDED if not shutil.which(prog)]
    if still:
        sys.exit("still missing after apt-get: %s" % " ".join(still))
    print("installed: %s" % " ".join(missing), flush=True)


def run_timed(cmd, cwd=None, settle=False):
    """Runs cmd; returns (wall s, processor s, peak KiB), timed here to the microsecond with
    wait4 and no wrapper: GNU time prints 10 ms steps, which counted a per-file peer's many
    short runs as nothing, and its own start adds about 0.9 ms to every run. The peak is the
    child's own above the racing Python's peak (about 16 MB), which a child forked from it
    inherits as its floor. settle: an apply, timed from a disk with nothing left to write: what
    the race wrote to set it up (the copied game, the peer's patch) is flushed first, so that no
    tool's flush pays for it (an installed game's files are on disk long before it is
    patched)."""
    if settle:
        os.sync()
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode != 0:
            err.seek(0)
            sys.exit("failed: %s\n%s" % (" ".join(cmd), err.read().decode(errors="replace")[-2000:]))
        return wall, usage.ru_utime + usage.ru_stime, int(usage.ru_maxrss)


def run_measured(cmd, cwd=None, settle=False):
    """run_timed's (seconds, peak KiB); the seconds are processor time (user + system) when
    CPU_TIME is set, for machines that other work shares."""
    wall, cpu, kib = run_timed(cmd, cwd, settle)
    return (cpu if CPU_TIME else wall), kib


LIBC = ctypes.CDLL(None, use_errno=True)


def flush_seconds(path):
    """Seconds that one syncfs of path's file system takes: what a peer's apply would add to be
    as durable as ours, whose "done" comes only once every new file, rename and removal is on
    disk. The peers are raced as their own tools leave the disk (nothing flushed); this figure
    only feeds the informative "flushed" comparison, never a target's ratio."""
    fd = os.open(path, os.O_RDONLY)
    try:
        start = time.perf_counter()
        if LIBC.syncfs(fd) != 0:
            sys.exit("syncfs failed on %s: %s" % (path, os.strerror(ctypes.get_errno())))
        return time.perf_counter() - start
    finally:
        os.close(fd)


def fetch(spec, cache):
    name = spec.replace("/", "_").replace("@", "_")
    dest = os.path.join(cache, name)
    if not os.path.isdir(dest):
        tmp = tempfile.mkdtemp(dir=cache)
        subprocess.run(["npm", "pack", "--silent", spec], cwd=tmp, check=True, stdout=subprocess.DEVNULL)
        tgz = [f for f in os.listdir(tmp) if f.endswith(".tgz")][0]
        with tarfile.open(os.path.join(tmp, tgz)) as tf:
            tf.extractall(os.path.join(tmp, "x"))
        os.rename(os.path.join(tmp, "x", "package"), dest)
        shutil.rmtree(tmp)
    return dest


def files(root):
    out = {}
    for d, _, fs in os.walk(root):
        for f in fs:
            p = os.path.join(d, f)
            out[os.path.relpath(p, root)] = p
    return out


def tree_size(root):
    return sum(os.path.getsize(p) for p in files(root).values())


CPU_TIME = False
REPEAT = 1
PEERS = ("bsdiff", "xdelta3", "zstd", "tree")

# Our builds: (row label, rtptool build flags).
OURS = [("rtptool --smallest", ["--smallest"]),
        ("rtptool --bw 20M", ["--bandwidth", "20M"]),
        ("rtptool --bw 100M", ["--bandwidth", "100M"])]


def players_time(size, apply_s, mbit):
    """The player's time to update at `mbit` Mbit/s: download plus apply seconds."""
    return size * 8 / (mbit * 1e6) + apply_s


def race(name, old, new, tool, work, raced=PEERS):
    rows = []
    new_size = tree_size(new)
    # ours, per tree: the smallest patch, then one built for each bandwidth of the T columns.
    # Each apply gets a copy of its own, removed with the work folder: on ext4 without a journal
    # a file created within a minute or more of others' deletion searches past each deleted
    # one for a free inode, and removing the last copy would be charged to the next apply.
    for i, (label, flags) in enumerate(OURS):
        patch = os.path.join(work, "ours.rtp")
        bs, bk = run_measured([tool, "build", "-f", "--no-verify"] + flags + [old, new, patch])
        runs = []
        for k in range(REPEAT):
            game = os.path.join(work, "game%d.%d" % (i, k))
            shutil.copytree(old, game)
            runs.append(run_measured([tool, "apply", "-u", "-otempdir:", game, patch], settle=True))
            if not same_tree(game, new):
                sys.exit("%s: result differs for %s" % (label, name))
        as_, ak = min(runs)
        rows.append((label, os.path.getsize(patch), bs, bk, as_, ak, as_))

    of, nf = files(old), files(new)
    changed = [r for r in nf if r not in of or not filecmp.cmp(of[r], nf[r], shallow=False)]
    # An added file is coded against an empty source; bsdiff cannot map an empty file, so it
    # gets one zero byte instead.
    empty, one_byte = os.path.join(work, "empty"), os.path.join(work, "one-byte")
    open(empty, "wb").close()
    with open(one_byte, "wb") as f:
        f.write(b"\0")
    peers = {
        "bsdiff": (lambda o, n, p: ["bsdiff", o, n, p], lambda o, p, out: ["bspatch", o, out, p]),
        "xdelta3 -9 -S djw": (lambda o, n, p: ["xdelta3", "-f", "-9", "-S", "djw", "-e", "-s", o, n, p],
                              lambda o, p, out: ["xdelta3", "-f", "-d", "-s", o, p, out]),
        "zstd -22 --long=31": (lambda o, n, p: ["zstd", "-q", "-f", "--ultra", "-22", "--long=31",
                                                "--patch-from=" + o, n, "-o", p],
                               lambda o, p, out: ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + o,
                                                  p, "-o", out]),
    }
    for peer, (enc, dec) in peers.items():
        if peer.split()[0] not in raced:
            continue
        total, bsum, bmax, asum, amax, fsum = 0, 0.0, 0, 0.0, 0, 0.0
        for rel in changed:
            o = of.get(rel, one_byte if peer == "bsdiff" else empty)
            p = os.path.join(work, "peer.patch")
            out = os.path.join(work, "peer.out")
            s, k = run_measured(enc(o, nf[rel], p))
            bsum += s
            bmax = max(bmax, k)
            total += os.path.getsize(p)
            timed = []
            for _ in range(REPEAT):
                s, k = run_measured(dec(o, p, out), settle=True)
                timed.append((s, k, s + flush_seconds(work)))
            s, k, _ = min(timed)
            asum += s
            amax = max(amax, k)
            fsum += min(t[2] for t in timed)
            if not filecmp.cmp(out, nf[rel], shallow=False):
                sys.exit("%s: result differs for %s" % (peer, rel))
        rows.append((peer, total, bsum, bmax, asum, amax, fsum))
    if "tree" in raced:
        rows.append(tree_stand_in(old, new, work))

    print("\n%s: %s -> %s, new tree %d bytes" % (name, os.path.basename(old), os.path.basename(new),
                                              new_size))
    print(tree_changes(of, nf))
    print("%-22s %12s %8s %9s %10s %9s %10s %8s %8s" % ("tool", "patch bytes", "ratio", "build s",
                                                         "build MB", "apply s", "apply MB",
                                                         "T(20) s", "T(100) s"))
    for t, size, b, bk_, a, ak_, _ in rows:
        print("%-22s %12d %7.3f%% %9.2f %10.1f %9.2f %10.1f %8.2f %8.2f" %
              (t, size, 100.0 * size / new_size, b, bk_ / 1024, a, ak_ / 1024,
               players_time(size, a, 20), players_time(size, a, 100)))
    n = len(OURS)
    if len(rows) == n:
        return
    peers_rows = rows[n:]
    per_file = [r for r in peers_rows if not r[0].startswith("tar+")]
    tree = [r for r in peers_rows if r[0].startswith("tar+")]
    smallest = rows[0]
    if per_file:
        print("ours --smallest / smallest per-file peer: %.3f (target 0.9)" %
              (smallest[1] / min(r[1] for r in per_file)))
    if tree:
        print("ours --smallest / tree stand-in: %.3f (target 1.0)" % (smallest[1] / tree[0][1]))
    print("apply: ours %.2f s, fastest peer %.2f s" % (smallest[4], min(r[4] for r in peers_rows)))
    for ours, mbit, target in ((rows[1], 20, 0.9), (rows[2], 100, 1.0)):
        best = min(players_time(r[1], r[4], mbit) for r in peers_rows)
        mine = players_time(ours[1], ours[4], mbit)
        print("T(%d): ours %.2f s, best peer %.2f s, ratio %.3f (target %.1f)" %
              (mbit, mine, best, mine / best, target))
    # For information only: the peers as durable as ours, each apply followed by one syncfs.
    flushed = ", ".join("%s %.2f s" % (r[0], r[6]) for r in peers_rows)
    print("flushed (information, no target): peers' apply + syncfs: %s" % flushed)
    for ours, mbit in ((rows[1], 20), (rows[2], 100)):
        best = min(players_time(r[1], r[6], mbit) for r in peers_rows)
        mine = players_time(ours[1], ours[4], mbit)
        print("flushed T(%d): ours %.2f s, best flushed peer %.2f s, ratio %.3f" %
              (mbit, mine, best, mine / best))


TAR = ["tar", "--sort=name", "--mtime=@0", "--owner=0", "--group=0", "--numeric-owner",
       "--format=gnu"]


def tree_stand_in(old, new, work):
    """The tree-level stand-in: both trees as one tar each (names sorted, times and owners
    fixed), the new one coded by zstd against the old. Of -19 --long and --ultra -22 the smaller
    patch races. Applying is what a player would do: tar the installed tree, decode, unpack."""
    old_tar, new_tar = os.path.join(work, "old.tar"), os.path.join(work, "new.tar")
    run_measured(TAR + ["-cf", old_tar, "-C", old, "."])
    run_measured(TAR + ["-cf", new_tar, "-C", new, "."])
    best = None
    for label, level in (("tar+zstd -19 --long", ["-19", "--long=31"]),
                         ("tar+zstd -22 --long", ["--ultra", "-22", "--long=31"])):
        p = os.path.join(work, "tree.%s.zst" % level[0].strip("-"))
        s, k = run_measured(["zstd", "-q", "-f"] + level + ["--patch-from=" + old_tar, new_tar, "-o", p])
        if best is None or os.path.getsize(p) < best[1]:
            best = (label, os.path.getsize(p), s, k, p)
    label, size, bs, bk, p = best
    # apply: the installed tree to a tar, decode against it, unpack; checked byte for byte
    game_tar, out_tar = os.path.join(work, "game.tar"), os.path.join(work, "out.tar")
    runs = []
    for k in range(REPEAT):
        out = os.path.join(work, "tree.out%d" % k)  # a fresh folder each time, as ours gets
        os.makedirs(out)
        steps = [TAR + ["-cf", game_tar, "-C", old, "."],
                 ["zstd", "-q", "-f", "-d", "--long=31", "--patch-from=" + game_tar, p, "-o", out_tar],
                 ["tar", "-xf", out_tar, "-C", out]]
        measured = [run_measured(c, settle=i == 0) for i, c in enumerate(steps)]
        if not filecmp.cmp(out_tar, new_tar, shallow=False):
            sys.exit("%s: result differs" % label)
        # the two tars are the stand-in's scratch, not the player's files: gone before the flush
        os.remove(game_tar)
        os.remove(out_tar)
        flush = flush_seconds(out)
        if not same_tree(out, new):
            sys.exit("%s: result differs" % label)
        applied = sum(m[0] for m in measured)
        runs.append((applied, max(m[1] for m in measured), applied + flush))
    best = min(runs)
    return (label, size, bs, bk, best[0], best[1], min(r[2] for r in runs))


def tree_changes(of, nf):
    """One line on what changed: changed files (scripts among them), added and removed files,
    and the added files that share their name with a removed one (moved or renamed), with how
    many of those are byte for byte the removed file."""
    changed = [r for r in nf if r in of and not filecmp.cmp(of[r], nf[r], shallow=False)]
    added = [r for r in nf if r not in of]
    removed = [r for r in of if r not in nf]
    by_name = {}
    for r in removed:
        by_name.setdefault(os.path.basename(r), []).append(r)
    moved = [a for a in added if os.path.basename(a) in by_name]
    same = [a for a in moved
            if any(filecmp.cmp(of[r], nf[a], shallow=False) for r in by_name[os.path.basename(a)])]
    return ("%d changed files (%d scripts), %d added, %d removed; %d added files carry a removed "
            "file's name in another folder (moved), %d of them unchanged" %
            (len(changed), len([r for r in changed if r.endswith(SCRIPTS)]), len(added), len(removed),
             len(moved), len(same)))


def same_tree(a, b):
    fa, fb = files(a), files(b)
    fa = {k: v for k, v in fa.items() if not k.startswith("Tarrowmoor" + os.sep)}
    if set(fa) != set(fb):
        return False
    return all(filecmp.cmp(fa[k], fb[k], shallow=False) for k in fa)


def spread_folders(path):
    """Asks ext4 to place every folder made in `path` in an inode group of its own (chattr +T,
    not inherited, so set on the race's folder and on each pair's): on ext4 without a journal,
    creating a file walks past every inode of its group freed in the last 60 s or more, so
    applies that land where the race has just removed a game copy or a peer's outputs would pay
    for the race's own clean-up (perf: a third of a 921-file apply in ext4's recently_deleted).
    Every tool's apply and the stand-in's unpack go to a fresh folder in `path` alike. Elsewhere
    (another file system, no chattr) it does nothing."""
    subprocess.run(["chattr", "+T", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("rtptool")
    ap.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "../../build/bench-cache"))
    ap.add_argument("--pairs", default=",".join(PAIRS))
    ap.add_argument("--peers", default=",".join(PEERS), help="the peers to race")
    ap.add_argument("--repeat", type=int, default=1, help="time each apply N times, count the least")
    ap.add_argument("--ours-only", action="store_true", help="skip the peers")
    ap.add_argument("--cpu", action="store_true",
                    help="report processor seconds instead of elapsed ones")
    args = ap.parse_args()
    global CPU_TIME, REPEAT
    CPU_TIME = args.cpu
    REPEAT = max(1, args.repeat)
    if not args.ours_only:
        install_missing()
    os.makedirs(args.cache, exist_ok=True)
    tool = os.path.abspath(args.rtptool)
    # One work folder for the whole race, removed at its end: removing a pair's files before the
    # next pair would slow the file creation of whichever apply comes first after it (see race()).
    with tempfile.TemporaryDirectory() as top:
        spread_folders(top)
        for name in args.pairs.split(","):
            o, n = PAIRS[name]
            old, new = fetch(o, args.cache), fetch(n, args.cache)
            work = os.path.join(top, name)
            os.makedirs(work)
            spread_folders(work)
            race(name, old, new, tool, work, () if args.ours_only else args.peers.split(","))


if __name__ == "__main__":
    main()
