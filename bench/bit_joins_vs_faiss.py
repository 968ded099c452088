"""Bit-level self-join against faiss on planted near-duplicates, in one run.

    .venv/bin/python -m pip install faiss-cpu
    .venv/bin/python bench/bit_joins_vs_faiss.py [--threads 2]

Cases:
  - 64-bit SimHash-like codes, n = 1M, k = 3: find_pairs_self (byte chunks),
    find_pairs_self_bit, faiss IndexBinaryMultiHash and IndexBinaryFlat;
  - 256-bit codes, n = 100k, k = 15: find_pairs_self_bit and the same two faiss
    indexes (the byte self-join needs k < d_bytes = 32 and would run too, but
    the point here is the bit plan).

Every measurement runs in a fresh subprocess with the same thread count
(RAYON_NUM_THREADS for brimel, omp_set_num_threads for faiss). faiss answers the
self-join as range_search of every row against an index of all rows with radius
k + 1 (strictly below the radius, so distance <= k), which includes build time.
A flat range search over 1M x 1M codes would take far longer than the others,
so it is run for a sample of query rows and its time scaled to all rows
(marked "extrapolated"; its peak memory is that of the sample). Peak memory is the rise of the process's resident set
high-water mark over its size before the call (data already loaded).

Candidates per result pair is computed with NumPy from the chunk plan: for each
chunk, the number of rows m sharing each key, summed as m(m-1)/2 over keys and
chunks, divided by the number of result pairs. It is the verification work of
the chunk joins per pair they report: low values mean the k+1 chunks still
separate near-duplicates from the rest; high ones mean the chunks have become
too narrow for n.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve()


# --- data ----------------------------------------------------------------------

def planted_codes(n: int, d_bytes: int, k: int, share: float, seed: int) -> np.ndarray:
    """Uniform random codes (as SimHash gives for unrelated items), then a
    `share` of the rows replaced by copies of earlier rows with 0 to k + 1 bits
    flipped, so that true pairs sit at every distance up to k and just past it."""
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    targets = np.sort(rng.choice(np.arange(1, n), size=int(share * n), replace=False))
    sources = (rng.random(targets.size) * targets).astype(np.int64)  # an earlier row
    codes[targets] = codes[sources]
    flips = rng.integers(0, k + 2, size=targets.size)
    for f in range(1, k + 2):
        rows = targets[flips >= f]
        bits = rng.integers(0, 8 * d_bytes, size=rows.size)
        # A repeated bit would cancel out; near-duplicates a bit closer are fine.
        codes[rows, bits // 8] ^= (0x80 >> (bits % 8)).astype(np.uint8)
    return codes


def bit_plan(d_bytes: int, k: int) -> list[tuple[int, int]]:
    """The bit chunk plan of the joins: k + 1 nearly equal bit ranges."""
    total = 8 * d_bytes
    if k == 0 and total > 128:
        return [(0, 128)]
    bounds = [c * total // (k + 1) for c in range(k + 2)]
    return [(lo, hi) for lo, hi in zip(bounds, bounds[1:]) if hi > lo]


def candidate_count(codes: np.ndarray, k: int) -> int:
    """Candidates of the chunk joins, repeats included: sum of m(m-1)/2 over the
    keys of every chunk. Chunks of the benchmark are at most 64 bits wide."""
    bits = np.unpackbits(codes, axis=1)
    total = 0
    for lo, hi in bit_plan(codes.shape[1], k):
        assert hi - lo <= 64
        packed = np.packbits(bits[:, lo:hi], axis=1)
        padded = np.zeros((codes.shape[0], 8), np.uint8)
        padded[:, : packed.shape[1]] = packed
        _, counts = np.unique(padded.view(np.uint64).ravel(), return_counts=True)
        counts = counts.astype(np.int64)
        total += int((counts * (counts - 1) // 2).sum())
    return total


# --- one measurement, in its own process ---------------------------------------

def resident_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def measure(method: str, path: str, k: int, threads: int, queries: int) -> dict:
    codes = np.load(path)
    n, d_bytes = codes.shape
    if method.startswith("brimel"):
        from brimel_native import _brimel_native as native
        join = native.find_pairs_self if method == "brimel find_pairs_self" else native.find_pairs_self_bit
        join(codes[:1000], k)  # start the worker pool outside the measurement
        before = resident_mb()
        start = time.perf_counter()
        pairs = len(join(codes, k))
        seconds = time.perf_counter() - start
        return {"seconds": seconds, "peak_mb": max(peak_mb() - before, 0.0), "pairs": pairs}

    import faiss
    faiss.omp_set_num_threads(threads)
    before = resident_mb()
    start = time.perf_counter()
    if method == "faiss IndexBinaryMultiHash":
        index = faiss.IndexBinaryMultiHash(8 * d_bytes, k + 1, 8 * d_bytes // (k + 1))
        queries = n
    else:
        index = faiss.IndexBinaryFlat(8 * d_bytes)
    index.add(codes)
    built = time.perf_counter()
    rows = codes if queries >= n else codes[:queries]
    lims, _, ids = index.range_search(rows, k + 1)
    end = time.perf_counter()
    result = {"seconds": end - start, "peak_mb": max(peak_mb() - before, 0.0)}
    if rows is codes:
        # Every pair twice, plus each row with itself.
        result["pairs"] = (int(lims[-1]) - n) // 2
    else:
        result["seconds"] = (built - start) + (end - built) * n / rows.shape[0]
        result["extrapolated"] = True
    return result


# --- driver ----------------------------------------------------------------------

CASES = [
    # name, n, d_bytes, k, methods
    ("64-bit, n = 1M, k = 3", 1_000_000, 8, 3,
     ["brimel find_pairs_self", "brimel find_pairs_self_bit", "faiss IndexBinaryMultiHash",
      "faiss IndexBinaryFlat"]),
    ("256-bit, n = 100k, k = 15", 100_000, 32, 15,
     ["brimel find_pairs_self_bit", "faiss IndexBinaryMultiHash", "faiss IndexBinaryFlat"]),
]


def run_isolated(method: str, path: str, k: int, threads: int, queries: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
    out = subprocess.run(
        [sys.executable, str(HERE), "--measure", method, path, str(k), str(threads), str(queries)],
        env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--flat-queries", type=int, default=20_000,
                        help="query rows for the flat search when n is above 100k")
    parser.add_argument("--measure", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        method, path, k, threads, queries = args.measure
        print(json.dumps(measure(method, path, int(k), int(threads), int(queries))))
        return

    print(f"threads: {args.threads}\n")
    print("| case | method | time (s) | peak memory (MB) | time / bit join | memory / bit join "
          "| result pairs | candidates per result pair |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for name, n, d_bytes, k, methods in CASES:
            codes = planted_codes(n, d_bytes, k, share=0.2, seed=n + k)
            path = os.path.join(tmp, "codes.npy")
            np.save(path, codes)
            candidates = candidate_count(codes, k)
            queries = n if n <= 100_000 else args.flat_queries
            results = {m: run_isolated(m, path, k, args.threads, queries) for m in methods}
            base = results["brimel find_pairs_self_bit"]
            expected_pairs = base["pairs"]
            for m in methods:
                r = results[m]
                pairs = r.get("pairs")
                if pairs is not None and pairs != expected_pairs:
                    raise SystemExit(f"{name}: {m} found {pairs} pairs, find_pairs_self_bit {expected_pairs}")
                seconds = f"{r['seconds']:.2f}" + (" (extrapolated)" if r.get("extrapolated") else "")
                per_pair = f"{candidates / expected_pairs:.1f}" if m.startswith("brimel") else ""
                print(f"| {name} | {m} | {seconds} | {r['peak_mb']:.0f} | "
                      f"{r['seconds'] / base['seconds']:.2f} | {r['peak_mb'] / max(base['peak_mb'], 1):.2f} | "
                      f"{pairs if pairs is not None else ''} | {per_pair} |", flush=True)
            print(f"\n{name}: {candidates} candidates for {expected_pairs} result pairs\n", file=sys.stderr)


if __name__ == "__main__":
    main()
