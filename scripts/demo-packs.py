#!/usr/bin/env python3
"""Makes the demo's packs at their real sizes without using the disk they
would: sparse files with data in a few places. Each localised pack keeps the
original's data, but after a region of localised text of another length, so
that everything behind it moves, as it does in a real localisation.

Usage: demo-packs.py DIR NAME:ORIGINAL_SIZE:LOCALISED_SIZE ...
Writes DIR/original/NAME and DIR/localised/NAME for each pack.
"""
import os
import random
import sys

BLOCK = 256 << 10
BLOCKS = 8  # of original data per pack, spread over its length
TEXT = 512 << 10  # longer than any pack shrinks by


def repeat(pattern, size):
    return (pattern * (size // len(pattern) + 1))[:size]


def main():
    folder = sys.argv[1]
    for kind in ("original", "localised"):
        os.makedirs(os.path.join(folder, kind), exist_ok=True)
    for entry in sys.argv[2:]:
        name, original_size, localised_size = entry.split(":")
        make_pack(folder, name, int(original_size), int(localised_size))


def make_pack(folder, name, original_size, localised_size):
    rnd = random.Random(name)
    growth = localised_size - original_size
    text_at = original_size // 3
    # The localised text takes the original text's place and the size difference.
    original_text = repeat(("%s original text " % name).encode(), TEXT)
    localised_text = repeat(("%s 汉化文本 " % name).encode(), TEXT + growth)
    blocks = [(i * (original_size // BLOCKS), rnd.randbytes(BLOCK)) for i in range(BLOCKS)]
    tail = rnd.randbytes(4096)

    with open(os.path.join(folder, "original", name), "wb") as f:
        f.truncate(original_size)
        for at, data in blocks:
            f.seek(at)
            f.write(data)
        f.seek(text_at)
        f.write(original_text)
        f.seek(original_size - len(tail))
        f.write(tail)
    with open(os.path.join(folder, "localised", name), "wb") as f:
        f.truncate(localised_size)
        for at, data in blocks:
            f.seek(at if at < text_at else at + growth)
            f.write(data)
        f.seek(text_at)
        f.write(localised_text)
        f.seek(localised_size - len(tail))
        f.write(tail)


if __name__ == "__main__":
    main()
