#!/usr/bin/env python3
"""Makes a benchmark pair of packs: ORIGINAL of SIZE pseudo-random bytes, and
LOCALISED with REGIONS regions replaced by data of other lengths, so that every
later offset moves, GROWTH bytes longer in all (System.GPK grows by 1469273),
and optionally the first MOVE bytes moved from the front to the end, so that the
last windows copy from the far end of the original.

Usage: make_bench_packs.py ORIGINAL LOCALISED [SIZE [REGIONS [GROWTH [MOVE]]]]
"""
import random
import sys

CHUNK = 16 << 20


def main():
    original, localised = sys.argv[1], sys.argv[2]
    size = int(sys.argv[3]) if len(sys.argv) > 3 else 1918642538
    regions = int(sys.argv[4]) if len(sys.argv) > 4 else 300
    growth = int(sys.argv[5]) if len(sys.argv) > 5 else 1469273
    move = int(sys.argv[6]) if len(sys.argv) > 6 else 0
    assert move % 16384 == 0
    rnd = random.Random(size)

    # Each region replaces up to 8 KiB (plus what it gives back where the pack
    # shrinks), 16 KiB apart at least, by that much plus its share of the growth.
    starts = sorted(rnd.sample(range(move, size - 16384, 16384), regions))
    share, extra = divmod(growth, regions)
    edits = []
    for i, start in enumerate(starts):
        add = share + (extra if i == regions - 1 else 0)
        # A pack that shrinks takes more than it gives back in every region.
        old = rnd.randint(1, 8192) + max(0, -add)
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
