#!/usr/bin/env python3
"""The builder against bsdiff on the race pairs: build seconds and peak memory.

For every pair of race.py (taken from its cache) it builds our patch with rtptool (its default
-j, every core) and bsdiff's per changed or added file, as the race does, and prints wall and
processor seconds and peak resident memory of each, with the load average around them. The
targets: our build is faster than bsdiff's (all its files together), and its peak memory is
at most 4 x the largest new file + 100 MB. Every build is run `--repeat` times back to back,
alternating ours and bsdiff, and the fastest run of each counts.

usage: build_race.py RTPTOOL --cache DIR [--pairs NAME,...] [--repeat N] [--flags "F ..."]
"""
import argparse
import filecmp
import os
import shlex
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import race  # noqa: E402  (pairs, cache and tree helpers)


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def measure(cmd):
    """Runs cmd under GNU time; returns (wall s, cpu s, peak KiB). Wall seconds are counted
    here to the microsecond; CPU seconds (in 10 ms steps) and peak memory come from GNU time,
    which starts the program from its own small process."""
    with tempfile.NamedTemporaryFile("r") as t:
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", t.name] + cmd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if r.returncode != 0:
            sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stderr.decode(errors="replace")[-2000:]))
        user, system, kib = t.read().split()[-3:]
    return wall, float(user) + float(system), int(kib)


def ours(tool, flags, old, new, work):
    patch = os.path.join(work, "ours.rtp")
    wall, cpu, kib = measure([tool, "build", "-f", "--no-verify"] + flags + [old, new, patch])
    return wall, cpu, kib, os.path.getsize(patch)


def bsdiff(old, new, work):
    """bsdiff per changed or added file (an added one against a one-byte file, as in the race);
    seconds summed, memory the largest of any one run."""
    of, nf = race.files(old), race.files(new)
    one_byte = os.path.join(work, "one-byte")
    with open(one_byte, "wb") as f:
        f.write(b"\0")
    wall = cpu = 0.0
    kib = size = 0
    p = os.path.join(work, "peer.patch")
    for rel, path in sorted(nf.items()):
        if rel in of and filecmp.cmp(of[rel], path, shallow=False):
            continue
        w, c, k = race.run_timed(["bsdiff", of.get(rel, one_byte), path, p])
        wall, cpu, kib = wall + w, cpu + c, max(kib, k)
        size += os.path.getsize(p)
    return wall, cpu, kib, size


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("rtptool")
    ap.add_argument("--cache", required=True)
    ap.add_argument("--pairs", default=",".join(race.PAIRS))
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--flags", action="append",
                    help="rtptool build flags of one row (repeatable); default: none and --smallest")
    args = ap.parse_args()
    tool = os.path.abspath(args.rtptool)
    rows = [shlex.split(f) for f in (args.flags or ["", "--smallest"])]
    results = []
    for name in args.pairs.split(","):
        o, n = race.PAIRS[name]
        old, new = race.fetch(o, args.cache), race.fetch(n, args.cache)
        largest = max(os.path.getsize(p) for p in race.files(new).values())
        bound = 4 * largest + (100 << 20)
        with tempfile.TemporaryDirectory() as work:
            best = {}
            for _ in range(args.repeat):
                for flags in rows:
                    key = " ".join(flags) or "(default)"
                    r = ours(tool, flags, old, new, work) + (load(),)
                    best[key] = min(best.get(key, r), r)
                r = bsdiff(old, new, work) + (load(),)
                best["bsdiff"] = min(best.get("bsdiff", r), r)
        b = best["bsdiff"]
        for key, r in best.items():
            if key == "bsdiff":
                continue
            results.append((name, key, largest, bound, r, b))
        print("%s done" % name, file=sys.stderr, flush=True)

    print("%-10s %-12s %9s %9s | %8s %8s %9s %7s | %8s %8s %8s | %-5s %-5s" %
          ("pair", "rtptool", "largest", "bound", "wall s", "cpu s", "peak MB", "load",
           "bsdiff s", "cpu s", "peak MB", "time", "mem"))
    for name, key, largest, bound, r, b in results:
        print("%-10s %-12s %8.1fM %8.1fM | %8.2f %8.2f %9.1f %7s | %8.2f %8.2f %8.1f | %-5s %-5s" %
              (name, key, largest / 2**20, bound / 2**20, r[0], r[1], r[2] / 1024, r[4],
               b[0], b[1], b[2] / 1024, "pass" if r[0] < b[0] else "FAIL",
               "pass" if r[2] * 1024 <= bound else "FAIL"))
    print("time: our build's wall seconds below bsdiff's (all its files); mem: our peak at most "
          "4 x the largest new file + 100 MB. Fastest of %d runs each; load: 1-minute average "
          "after the run." % args.repeat)


if __name__ == "__main__":
    main()
