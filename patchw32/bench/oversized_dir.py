#!/usr/bin/env python3
"""Peak memory of list mode for a small patch whose directory claims very much.

Crafts a patch of a few dozen KB whose compact directory (raw deflate) names 1,000,000 folders
with paths of about 960 bytes each (every record shares all but a few bytes with the one
before), then runs `rtptool apply -l` on it under /usr/bin/time and prints the return code and
the peak resident memory. A second patch stays just inside the engine's limits (65,536 entries,
4 MiB of paths) and shows what a patch the engine accepts costs.

usage: oversized_dir.py RTPTOOL [RTPTOOL.exe]   (the second one runs under wine)
"""
import ctypes
import os
import struct
import subprocess
import sys
import tempfile
import zlib


class XXH128(ctypes.Structure):
    _fields_ = [("low", ctypes.c_uint64), ("high", ctypes.c_uint64)]


_xxh = ctypes.CDLL("libxxhash.so.0")
_xxh.XXH3_128bits.restype = XXH128
_xxh.XXH3_128bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]


def xxh3_128(data: bytes) -> bytes:
    h = _xxh.XXH3_128bits(data, len(data))
    return struct.pack(">QQ", h.high, h.low)


def varu(v: int) -> bytes:
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def craft(path: str, names) -> int:
    """Folder-creation entries in compact records stored as one raw deflate stream."""
    comp = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed, raw_size, prev, count = bytearray(), 0, b"", 0
    for name in names:
        lo, hi = 0, min(len(prev), len(name))  # longest common prefix, by halving
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if prev[:mid] == name[:mid]:
                lo = mid
            else:
                hi = mid - 1
        shared = lo
        rec = b"\x04" + varu(shared) + varu(len(name) - shared) + name[shared:]
        raw_size += len(rec)
        packed += comp.compress(rec)
        prev, count = name, count + 1
    packed += comp.flush()
    head = b"KVRTP\x1a\r\n" + struct.pack("<HHI", 1, 16, 0)
    total = 16 + len(packed) + 64
    trailer = b"KVRTPEND" + struct.pack("<IIQQQII", count, 1, 16, len(packed), total, 3, raw_size)
    body = head + bytes(packed) + trailer
    with open(path, "wb") as f:
        f.write(body + xxh3_128(body))
    return total


def long_names(n):
    base = b"/".join(c * 250 for c in (b"A", b"B", b"C")) + b"/" + b"D" * 200 + b"/"
    for i in range(n):
        yield base + b"%07d" % i


def limit_names(n, per):
    for i in range(n):
        yield (b"f%05d/" % i) + b"x" * (per - 7)


def peak(cmd):
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, capture_output=True, text=True)
    kb = int(r.stderr.strip().splitlines()[-1])
    return r.returncode, kb


def main():
    tools = sys.argv[1:]
    if not tools:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as tmp:
        game = os.path.join(tmp, "game")
        os.mkdir(game)
        cases = [("1,000,000 folders of ~960 bytes", os.path.join(tmp, "huge.rtp"),
                  long_names(1000000)),
                 ("65,536 folders, 4 MiB of paths", os.path.join(tmp, "limit.rtp"),
                  limit_names(65536, 64))]
        for label, p, names in cases:
            size = craft(p, names)
            for i, tool in enumerate(tools):
                cmd = [tool, "apply", "-l", game, p]
                if tool.endswith(".exe"):
                    cmd = ["wine"] + cmd
                rc, kb = peak(cmd)
                where = "wine" if tool.endswith(".exe") else "native"
                print(f"{label}: patch {size:,} bytes, {where}: rc {rc}, peak RSS {kb / 1024:.1f} MB")


if __name__ == "__main__":
    main()
