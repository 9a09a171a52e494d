#!/usr/bin/env python3
"""Generates the built-in demo: two versions of a small game tree with nested folders.

make_demo_game.py OUT_DIR  ->  OUT_DIR/v1 and OUT_DIR/v2 (the next release: changed,
added and removed files). The game executables are copied in by the caller.
"""
import os
import random
import sys


def blob(rng, size):
    # Game-like data: repeated records with some noise, so deltas have something to find.
    record = bytes(rng.randrange(256) for _ in range(64))
    out = bytearray()
    while len(out) < size:
        out += record
        out[-1 - rng.randrange(64)] = rng.randrange(256)
    return bytes(out[:size])


def main():
    out = sys.argv[1]
    rng = random.Random(1234)
    v1 = {}
    for area in ("Data", "Data/Maps", "Data/Maps/North", "Sound", "Textures/World", "Scripts"):
        for i in range(rng.randrange(8, 20)):
            ext = rng.choice([".dat", ".map", ".wav", ".tex", ".lua"])
            v1[f"{area}/{area.split('/')[-1].lower()}_{i:03d}{ext}"] = blob(rng, rng.randrange(200, 60000))
    v1["readme.txt"] = b"Tarrowmoor demo installation, release 1.12\n"
    v2 = dict(v1)
    names = sorted(v1)
    for name in rng.sample(names, len(names) // 5):  # changed files
        data = bytearray(v2[name])
        for _ in range(rng.randrange(1, 6)):
            pos = rng.randrange(len(data))
            data[pos:pos + 16] = bytes(rng.randrange(256) for _ in range(16))
        v2[name] = bytes(data) + b"patched"
    for name in rng.sample(names, 3):  # removed files
        v2.pop(name, None)
    for i in range(4):  # added files
        v2[f"Data/Maps/South/south_{i:03d}.map"] = blob(rng, rng.randrange(500, 20000))
    v2["readme.txt"] = b"Tarrowmoor demo installation, release 2.05\n"
    for version, files in (("v1", v1), ("v2", v2)):
        for rel, data in files.items():
            path = os.path.join(out, version, *rel.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    print(f"demo game: {len(v1)} files in v1, {len(v2)} files in v2")


if __name__ == "__main__":
    main()
