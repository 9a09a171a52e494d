#!/usr/bin/env python3
"""Draws Kelvane's application icon (a patch square with an arrow) as kelvane.ico."""
import struct, sys

def image(n):
    px = []
    for y in range(n - 1, -1, -1):  # bottom-up rows
        for x in range(n):
            u, v = x / n, y / n
            a = 255
            if min(u, v, 1 - u, 1 - v) < 0.06:
                c = (40, 50, 70)             # dark frame
            elif 0.42 < u < 0.58 and 0.2 < v < 0.62:
                c = (250, 250, 250)          # arrow shaft
            elif v >= 0.58 and abs(u - 0.5) < (0.85 - v) * 1.1:
                c = (250, 250, 250)          # arrow head
            else:
                c = (int(30 + 120 * v), int(110 + 80 * u), 200)  # blue-green fill
            px.append(bytes((c[2], c[1], c[0], a)))
    xor = b"".join(px)
    andmask = b"\0" * (((n + 31) // 32) * 4 * n)
    hdr = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return hdr + xor + andmask

sizes = [32, 16]
imgs = [image(n) for n in sizes]
out = struct.pack("<HHH", 0, 1, len(sizes))
off = 6 + 16 * len(sizes)
for n, img in zip(sizes, imgs):
    out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(img), off)
    off += len(img)
open(sys.argv[1] if len(sys.argv) > 1 else "kelvane.ico", "wb").write(out + b"".join(imgs))
