"""Early exit in verification, and the byte cross-join against faiss.

One run measures:
  1. find_pairs_self vs _find_pairs_self_full_popcount on 64-bit and 256-bit
     codes: the gain of early exit in verification (same candidates, same
     result);
  2. find_pairs_cross, 100k query codes against 1M reference codes (64-bit,
     k = 3), vs faiss-cpu IndexBinaryMultiHash and IndexBinaryFlat
     range_search with radius k + 1 (faiss keeps distances < radius).

faiss runs in a subprocess of its own that never imports brimel_native, with
the same thread count (OpenMP threads for faiss, the worker pool for the
self-joins; find_pairs_cross is single-threaded by design). Both sides read
the same codes from .npy files and their results are checked equal.

    .venv/bin/python -m pip install faiss-cpu
    .venv/bin/python bench/early_exit_and_cross.py [--threads N] [--repeat R]

Prints a Markdown table: wall and CPU seconds of the run with the best wall
time out of R (faiss IndexBinaryFlat, which takes a minute or more, runs
once). The CPU column stays meaningful on a machine shared with other work.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

SEED = 20240607


def planted(n: int, d_bytes: int, max_flips: int, rng: np.random.Generator,
            sources: np.ndarray | None = None, share: float = 0.5) -> np.ndarray:
    """n random codes; a `share` of them are copies of a row of `sources` (of
    the codes themselves when None) with 0 to max_flips bits flipped."""
    codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    planted_rows = rng.choice(n, size=int(n * share), replace=False)
    if sources is None:
        planted_rows = planted_rows[planted_rows > 0]
        origin = (rng.random(len(planted_rows)) * planted_rows).astype(np.int64)
        origin_codes = codes[origin]
    else:
        origin_codes = sources[rng.integers(0, len(sources), size=len(planted_rows))]
    bits = np.unpackbits(origin_codes, axis=1)
    flips = rng.integers(0, max_flips + 1, size=len(planted_rows))
    row = np.arange(len(planted_rows))
    for f in range(max_flips):  # a repeated position flips back: distance <= max_flips
        active = f < flips
        bits[row[active], rng.integers(0, 8 * d_bytes, size=int(active.sum()))] ^= 1
    codes[planted_rows] = np.packbits(bits, axis=1)
    return codes


def digest(i: np.ndarray, j: np.ndarray, d: np.ndarray) -> str:
    """Order-independent fingerprint of a set of (i, j, dist) records."""
    order = np.lexsort((j, i))
    stacked = np.stack([i[order], j[order], d[order]]).astype(np.uint32)
    return hashlib.sha256(stacked.tobytes()).hexdigest()[:16]


def timed(fn):
    """(wall seconds, CPU seconds of this process over all its threads, result)."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return time.perf_counter() - wall, time.process_time() - cpu, result


def best_of(repeat: int, fn):
    """The run with the shortest wall time: (wall s, CPU s, result)."""
    return min((timed(fn) for _ in range(repeat)), key=lambda run: run[0])


# --- faiss side (subprocess) --------------------------------------------------

def faiss_worker(args: argparse.Namespace) -> None:
    import faiss

    faiss.omp_set_num_threads(args.threads)
    queries = np.load(args.queries)
    refs = np.load(args.refs)
    bits = 8 * refs.shape[1]
    radius = args.k + 1
    out = {"version": faiss.__version__}

    def run(make_index, repeat):
        def once():
            add_wall, add_cpu, index = timed(make_index)
            search_wall, search_cpu, (lims, dist, ids) = timed(lambda: index.range_search(queries, radius))
            return add_wall + search_wall, add_cpu + search_cpu, add_wall, search_wall, lims, dist, ids
        wall, cpu, add_wall, search_wall, lims, dist, ids = min((once() for _ in range(repeat)),
                                                                key=lambda r: r[0])
        i = np.repeat(np.arange(len(queries)), np.diff(lims).astype(np.int64))
        return {"wall": wall, "cpu": cpu, "add": add_wall, "search": search_wall, "pairs": int(len(ids)),
                "digest": digest(i, ids, dist)}

    def built(index):
        index.add(refs)
        return index

    # The box principle with k + 1 hash tables of 8 * d_bytes / (k + 1) bits.
    per_table = bits // (args.k + 1)
    multihash = lambda: built(faiss.IndexBinaryMultiHash(bits, args.k + 1, per_table))  # noqa: E731
    out["multihash"] = run(multihash, args.repeat)
    out["flat"] = run(lambda: built(faiss.IndexBinaryFlat(bits)), 1)
    print(json.dumps(out))


def run_faiss(queries: Path, refs: Path, k: int, threads: int, repeat: int) -> dict:
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    command = [sys.executable, __file__, "--faiss-worker", "--queries", str(queries), "--refs", str(refs),
               "--k", str(k), "--threads", str(threads), "--repeat", str(repeat)]
    done = subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- brimel side ---------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--faiss-worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--queries", help=argparse.SUPPRESS)
    parser.add_argument("--refs", help=argparse.SUPPRESS)
    parser.add_argument("--k", type=int, default=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.faiss_worker:
        faiss_worker(args)
        return

    # The worker pool reads its size once, when the first self-join runs.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    from brimel_native import _brimel_native as m

    rng = np.random.default_rng(SEED)
    load_before = os.getloadavg()
    rows = []  # (workload, ours, (wall, cpu), other, (wall, cpu), note)

    # 1. Early exit. With 8 * d_bytes / (k + 1) = 16 bits per chunk, most
    # candidates are random pairs far above k, which early exit rejects after
    # the first word.
    for n, d_bytes, k in [(1_000_000, 8, 3), (300_000, 32, 15)]:
        codes = planted(n, d_bytes, k + 1, rng)
        early_wall, early_cpu, early = best_of(args.repeat, lambda: m.find_pairs_self(codes, k))
        full_wall, full_cpu, full = best_of(args.repeat, lambda: m._find_pairs_self_full_popcount(codes, k))
        assert early == full, "early exit and full count disagree"
        rows.append((f"self-join, {n:,} x {8 * d_bytes}-bit, k = {k} ({len(early):,} pairs)",
                     f"find_pairs_self ({args.threads} threads)", (early_wall, early_cpu),
                     f"_find_pairs_self_full_popcount ({args.threads} threads)", (full_wall, full_cpu), ""))

    # 2. Cross-join: 100k queries, half of them near a reference, 1M references.
    k, d_bytes = 3, 8
    refs = planted(1_000_000, d_bytes, 0, rng, share=0.0)
    queries = planted(100_000, d_bytes, k + 1, rng, sources=refs)
    cross_wall, cross_cpu, cross = best_of(args.repeat, lambda: m.find_pairs_cross(queries, refs, k))
    records = np.array(cross, dtype=np.uint32).reshape(-1, 3)
    ours_digest = digest(records[:, 0], records[:, 1], records[:, 2])

    with tempfile.TemporaryDirectory() as tmp:
        q_path, r_path = Path(tmp, "queries.npy"), Path(tmp, "refs.npy")
        np.save(q_path, queries)
        np.save(r_path, refs)
        theirs = run_faiss(q_path, r_path, k, args.threads, args.repeat)

    workload = f"cross-join, 100,000 x 1,000,000 64-bit, k = {k} ({len(cross):,} pairs)"
    for key, label in [("multihash", "faiss IndexBinaryMultiHash"), ("flat", "faiss IndexBinaryFlat")]:
        result = theirs[key]
        assert (result["pairs"], result["digest"]) == (len(cross), ours_digest), f"{label} disagrees"
        rows.append((workload, "find_pairs_cross (1 thread)", (cross_wall, cross_cpu),
                     f"{label} ({args.threads} threads)", (result["wall"], result["cpu"]),
                     f"add {result['add']:.2f} s + range_search {result['search']:.2f} s"))

    load_after = os.getloadavg()
    print(f"threads = {args.threads}, best of {args.repeat} (faiss IndexBinaryFlat: 1 run), "
          f"{platform.machine()}, {os.cpu_count()} CPUs, faiss {theirs['version']}, numpy {np.__version__}, "
          f"1-min load average {load_before[0]:.1f} before, {load_after[0]:.1f} after\n")
    print("Times in seconds: wall, and CPU over all threads of the process. "
          "Ratio = other / brimel (above 1: brimel is faster).\n")
    print("| workload | brimel | wall | CPU | other | wall | CPU | wall ratio | CPU ratio | note |")
    print("|---|---|---:|---:|---|---:|---:|---:|---:|---|")
    for workload, ours, (ours_wall, ours_cpu), other, (other_wall, other_cpu), note in rows:
        print(f"| {workload} | {ours} | {ours_wall:.3f} | {ours_cpu:.3f} | {other} | {other_wall:.3f} | "
              f"{other_cpu:.3f} | {other_wall / ours_wall:.2f} | {other_cpu / ours_cpu:.2f} | {note} |")


if __name__ == "__main__":
    main()
