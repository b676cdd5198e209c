#!/usr/bin/env python3
"""Makes pairs of packs, an original and a localised one, for the demo, the
benchmarks and the tests. In each localised pack data of another length takes
the place of some of the original's, so that everything behind it moves, as it
does in a real localisation. A pair is the same on every run.

By default the packs are sparse, at their real sizes without using the disk
they would: the original's data in a few places, one region of text, and a
tail, seeded by the pack's name.

With --dense they are pseudo-random throughout, seeded by the original's size,
with REGIONS regions replaced (300 unless given), each by its share of the
size difference, and with --move the original's first BYTES moved to the end,
so that the last windows copy from the far end of the original.

Usage: make-packs.py [--dense [--regions N] [--move BYTES]] DIR NAME:ORIGINAL_SIZE:LOCALISED_SIZE ...
Writes DIR/original/NAME and DIR/localised/NAME for each pair.
"""
import argparse
import os
import random

CHUNK = 16 << 20  # what a dense pack is written and copied by
BLOCK = 256 << 10
BLOCKS = 8  # of original data per sparse pack, spread over its length
TEXT = 512 << 10  # longer than any sparse pack shrinks by
SLOT = 16 << 10  # dense regions start this far apart at least, and replace at most half of it


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("Usage: ")[1])
    parser.add_argument("--dense", action="store_true")
    parser.add_argument("--regions", type=int, default=300)
    parser.add_argument("--move", type=int, default=0)
    parser.add_argument("folder")
    parser.add_argument("pairs", nargs="+")
    args = parser.parse_args()
    if args.move % SLOT:
        parser.error("--move must be a multiple of %d" % SLOT)
    for kind in ("original", "localised"):
        os.makedirs(os.path.join(args.folder, kind), exist_ok=True)
    for pair in args.pairs:
        name, original_size, localised_size = pair.split(":")
        original, localised = (os.path.join(args.folder, kind, name) for kind in ("original", "localised"))
        if args.dense:
            dense_pair(original, localised, int(original_size), int(localised_size), args.regions, args.move)
        else:
            sparse_pair(name, original, localised, int(original_size), int(localised_size))


def repeat(pattern, size):
    return (pattern * (size // len(pattern) + 1))[:size]


def sparse_pair(name, original, localised, original_size, localised_size):
    rnd = random.Random(name)
    growth = localised_size - original_size
    text_at = original_size // 3
    # The localised text takes the original text's place and the size difference.
    original_text = repeat(("%s original text " % name).encode(), TEXT)
    localised_text = repeat(("%s 汉化文本 " % name).encode(), TEXT + growth)
    blocks = [(i * (original_size // BLOCKS), rnd.randbytes(BLOCK)) for i in range(BLOCKS)]
    tail = rnd.randbytes(4096)

    with open(original, "wb") as f:
        f.truncate(original_size)
        for at, data in blocks:
            f.seek(at)
            f.write(data)
        f.seek(text_at)
        f.write(original_text)
        f.seek(original_size - len(tail))
        f.write(tail)
    with open(localised, "wb") as f:
        f.truncate(localised_size)
        for at, data in blocks:
            f.seek(at if at < text_at else at + growth)
            f.write(data)
        f.seek(text_at)
        f.write(localised_text)
        f.seek(localised_size - len(tail))
        f.write(tail)


def dense_pair(original, localised, size, localised_size, regions, move):
    rnd = random.Random(size)
    # Each region replaces up to half a slot (plus what it gives back where the
    # pack shrinks) by that much plus its share of the growth.
    starts = sorted(rnd.sample(range(move, size - SLOT, SLOT), regions))
    share, extra = divmod(localised_size - size, regions)
    edits = []
    for i, start in enumerate(starts):
        add = share + (extra if i == regions - 1 else 0)
        # A pack that shrinks takes more than it gives back in every region.
        old = rnd.randint(1, SLOT // 2) + max(0, -add)
        edits.append((start, old, old + add))

    with open(original, "wb") as out:
        left = size
        while left:
            n = min(CHUNK, left)
            out.write(rnd.randbytes(n))
            left -= n

    with open(original, "rb") as src, open(localised, "wb") as out:
        src.seek(move)
        at = move
        for start, old, new in edits:
            copy_bytes(src, out, start - at)
            src.seek(old, 1)
            out.write(rnd.randbytes(new))
            at = start + old
        copy_bytes(src, out, size - at)
        src.seek(0)
        copy_bytes(src, out, move)


def copy_bytes(src, out, n):
    while n:
        data = src.read(min(CHUNK, n))
        out.write(data)
        n -= len(data)


if __name__ == "__main__":
    main()
