"""A moderation-style matcher: an Index of reference hashes, checked one by one.

A service that blocks re-uploads of known material keeps the perceptual hashes
of the known items (here 256-bit codes, the width of PDQ) in an Index and asks
it about each incoming upload. This script fills an Index with random reference
codes, then serves a stream of incoming codes: unrelated ones, altered copies of
references within distance k (which must match) and further altered ones (which
must not). Halfway through, a new batch of references arrives and is added
while the stream goes on; later copies of those must match too. It prints some
matches, how many of the planted copies were caught, and the time per query.

    python examples/moderation_matcher.py [--references 200000] [--incoming 20000] [--k 16]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from brimel_native import Index

D_BYTES = 32  # 256-bit codes


def altered(code: np.ndarray, flips: int, rng: np.random.Generator) -> np.ndarray:
    """`code` with `flips` distinct bits inverted: a copy at exactly that distance."""
    bits = np.unpackbits(code)
    bits[rng.choice(bits.size, flips, replace=False)] ^= 1
    return np.packbits(bits)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--references", type=int, default=200_000, help="reference codes at start")
    parser.add_argument("--incoming", type=int, default=20_000, help="codes in the incoming stream")
    parser.add_argument("--k", type=int, default=16, help="largest Hamming distance of a match")
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--show", type=int, default=6, help="matches to print")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    k = args.k

    references = rng.integers(0, 256, (args.references, D_BYTES), dtype=np.uint8)
    late = rng.integers(0, 256, (max(args.references // 100, 1), D_BYTES), dtype=np.uint8)
    t0 = time.perf_counter()
    index = Index(D_BYTES, k)
    index.add_batch(references)
    build = time.perf_counter() - t0

    # The stream: each item is unrelated (None) or an altered copy of a
    # reference, with the reference's id and the number of bits changed. Copies
    # of the late references come only after they have been added.
    def stored(i: int) -> np.ndarray:  # the code behind an Index id
        row: np.ndarray = references[i] if i < len(references) else late[i - len(references)]
        return row

    half = args.incoming // 2
    stream: list[tuple[np.ndarray, int | None, int]] = []
    for position in range(args.incoming):
        kind = rng.random()
        if kind < 0.7:
            stream.append((rng.integers(0, 256, D_BYTES, dtype=np.uint8), None, 0))
        else:
            origin = int(rng.integers(len(references) + (len(late) if position >= half else 0)))
            flips = int(rng.integers(0, k + 1)) if kind < 0.9 else int(rng.integers(k + 1, 2 * k + 2))
            stream.append((altered(stored(origin), flips, rng), origin, flips))

    latencies = np.empty(args.incoming)
    caught = missed = refused = wrong = 0
    shown: list[str] = []
    for position, (code, source, flips) in enumerate(stream):
        if position == half:
            first = index.add_batch(late)
            print(f"[{position}] added {len(late)} new references as ids {first}..{first + len(late) - 1}")
        start = time.perf_counter()
        hits = index.query(code)
        latencies[position] = time.perf_counter() - start
        ids = [i for i, _ in hits]
        if source is not None and flips <= k:
            caught += source in ids
            missed += source not in ids
        elif source is not None:
            refused += source not in ids
        # Every hit must really be within k: check it by brute force.
        for i, dist in hits:
            wrong += int(np.unpackbits(stored(i) ^ code).sum()) != dist or dist > k
        if hits and len(shown) < args.show:
            planted = f"altered copy of {source}, {flips} bits apart" if source is not None else "unrelated"
            shown.append(f"  incoming {position:>6} -> {hits} ({planted})")

    near = sum(1 for _, s, f in stream if s is not None and f <= k)
    far = sum(1 for _, s, f in stream if s is not None and f > k)
    print(
        f"index:     {len(index)} references of {8 * index.d_bytes} bits, k = {index.k}, "
        f"built in {build:.3f} s"
    )
    print(f"stream:    {args.incoming} incoming, {near} altered within k, {far} altered beyond k")
    print(f"caught:    {caught} of {near} copies within k ({missed} missed)")
    print(f"passed:    {refused} of {far} copies beyond k not matched")
    print(f"checked:   {wrong} hits with a wrong distance")
    print("matches:")
    print("\n".join(shown))
    ms = latencies * 1e3
    print(
        f"query:     median {np.median(ms):.3f} ms, p99 {np.percentile(ms, 99):.3f} ms, "
        f"{args.incoming / latencies.sum():,.0f} queries/s"
    )


if __name__ == "__main__":
    main()
