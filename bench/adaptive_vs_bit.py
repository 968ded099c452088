"""Adaptive against bit-level self-join on codes with a skewed or constant half.

    .venv/bin/python bench/adaptive_vs_bit.py [--threads 2]

Codes are uniform random in their first half; the second half is either skewed
(each bit set with probability 1/4, binary entropy 0.81) or one constant for all
rows. A fifth of the rows are then replaced by copies of earlier rows with 0 to
k + 1 bits flipped (anywhere for skewed codes, in the first half for constant
ones), so true pairs sit at every distance up to k and just past it.

find_pairs_self_bit cuts the 8 * d_bytes bits into k + 1 even ranges, so some
ranges lie in the low-entropy half; find_pairs_self_adaptive keys k + 1 lists of
the bits that vary in a 10000-row sample, balanced by entropy. On a constant
half the even ranges inside it put every row in one group (n(n-1)/2 candidates
per such range). Candidates are counted first, and a join whose plan gives more
than --max-candidates (8 bytes each, held at once) is not run; only its count
is given. (k is kept small enough for the adaptive lists over the varying half
to stay selective at these n: 32 varying bits cut into 4 lists would be 8-bit
keys, about n^2/512 candidates per list.)

Candidates per result pair is computed with NumPy from the plans: for each chunk
(a bit range, or a position list of the adaptive plan, rebuilt here by the same
sampling and greedy dealing), the number of rows m sharing each key, summed as
m(m-1)/2 over keys and chunks, divided by the number of result pairs. It is the
verification work per reported pair, repeats included.

Every measurement runs in a fresh process with RAYON_NUM_THREADS = --threads.
Peak memory is the rise of the resident high-water mark (VmHWM, reset before the
call) over the process's size before the call (data already loaded).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve()
SAMPLE_ROWS = 10_000
MAX_LIST_BITS = 128


# --- data ----------------------------------------------------------------------

def codes_with_half(n: int, d_bytes: int, k: int, half: str, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    second = codes[:, d_bytes // 2:]
    if half == "skewed":
        second &= rng.integers(0, 256, size=second.shape, dtype=np.uint8)  # p = 1/4 per bit
    else:
        second[:] = 0x5A
    flip_bits = 8 * d_bytes if half == "skewed" else 4 * d_bytes
    targets = np.sort(rng.choice(np.arange(1, n), size=n // 5, replace=False))
    sources = (rng.random(targets.size) * targets).astype(np.int64)  # an earlier row
    codes[targets] = codes[sources]
    flips = rng.integers(0, k + 2, size=targets.size)
    for f in range(1, k + 2):
        rows = targets[flips >= f]
        bits = rng.integers(0, flip_bits, size=rows.size)
        codes[rows, bits // 8] ^= (0x80 >> (bits % 8)).astype(np.uint8)
    return codes


# --- the two plans ---------------------------------------------------------------

def bit_plan(d_bytes: int, k: int) -> list[list[int]]:
    """The even bit plan, as position lists: k + 1 nearly equal bit ranges."""
    total = 8 * d_bytes
    if k == 0 and total > 128:
        return [list(range(128))]
    bounds = [c * total // (k + 1) for c in range(k + 2)]
    return [list(range(lo, hi)) for lo, hi in zip(bounds, bounds[1:]) if hi > lo]


def adaptive_plan(codes: np.ndarray, k: int) -> list[list[int]]:
    """The entropy-balanced plan: binary entropy of each bit over rows 0, s, 2s,
    ... (at most 10000 rows), then positive-entropy bits dealt highest first to
    the lightest list with room. Computed with the same double arithmetic and
    the C library's log2, so ties break as in the engine."""
    n = codes.shape[0]
    m = min(n, SAMPLE_ROWS)
    stride = max(n // m, 1)
    ones = np.unpackbits(codes[0:stride * m:stride][:m], axis=1).sum(axis=0)
    entropies = []
    for count in ones.tolist():
        q = count / m
        entropies.append(0.0 if q in (0.0, 1.0) else -q * math.log2(q) - (1 - q) * math.log2(1 - q))
    order = sorted((p for p, e in enumerate(entropies) if e > 0.0), key=lambda p: -entropies[p])
    lists: list[list[int]] = [[] for _ in range(k + 1)]
    load = [0.0] * (k + 1)
    for p in order:
        open_lists = [c for c in range(k + 1) if len(lists[c]) < MAX_LIST_BITS]
        if not open_lists:
            break
        c = min(open_lists, key=lambda c: (load[c], c))
        lists[c].append(p)
        load[c] += entropies[p]
    return [sorted(lst) for lst in lists]


def candidate_count(codes: np.ndarray, plan: list[list[int]]) -> int:
    """Sum over chunks of m(m-1)/2 over the rows sharing each key."""
    bits = np.unpackbits(codes, axis=1)
    total = 0
    for positions in plan:
        assert len(positions) <= 64
        packed = np.packbits(bits[:, positions], axis=1)
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
    """The resident high-water mark of this process's memory (VmHWM). Unlike
    ru_maxrss it is not carried over from the parent that started the process."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024  # kB
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak() -> None:
    """Sets the high-water mark back to the current size, where the kernel
    allows it (Linux 4.0+), so that the peak is the call's own."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def measure(method: str, path: str, k: int) -> dict:
    from brimel_native import _brimel_native as native
    join = getattr(native, method)
    codes = np.load(path)
    join(codes[:1000], k)  # start the worker pool outside the measurement
    before = resident_mb()
    reset_peak()
    start = time.perf_counter()
    pairs = len(join(codes, k))
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "peak_mb": max(peak_mb() - before, 0.0), "pairs": pairs}


def run_isolated(method: str, path: str, k: int, threads: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, str(HERE), "--measure", method, path, str(k)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# --- driver ----------------------------------------------------------------------

CASES = [
    # n, d_bytes, k, second half
    (1_000_000, 8, 2, "skewed"),
    (1_000_000, 8, 1, "constant"),
    (200_000, 32, 11, "skewed"),
    (200_000, 32, 7, "constant"),
]


def widths(plan: list[list[int]]) -> str:
    sizes = [len(p) for p in plan]
    return f"{min(sizes)}-{max(sizes)}" if min(sizes) != max(sizes) else str(sizes[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--max-candidates", type=int, default=100_000_000,
                        help="run a join only when its plan gives at most this many candidates")
    parser.add_argument("--measure", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        method, path, k = args.measure
        print(json.dumps(measure(method, path, int(k))))
        return

    print(f"threads: {args.threads}\n")
    print("| codes | n | k | method | chunk widths (bits) | time (s) | peak memory (MB) | result pairs "
          "| candidates | candidates per result pair |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for n, d_bytes, k, half in CASES:
            codes = codes_with_half(n, d_bytes, k, half, seed=n + k)
            path = os.path.join(tmp, "codes.npy")
            np.save(path, codes)
            name = f"{8 * d_bytes}-bit, {half} half"
            plans = {"find_pairs_self_adaptive": adaptive_plan(codes, k),
                     "find_pairs_self_bit": bit_plan(d_bytes, k)}
            counted = {method: candidate_count(codes, plan) for method, plan in plans.items()}
            ran = {method: run_isolated(method, path, k, args.threads)
                   for method in plans if counted[method] <= args.max_candidates}
            found = {r["pairs"] for r in ran.values()}
            if len(found) != 1:
                raise SystemExit(f"{name}: result pair counts {found}")
            pairs = found.pop()
            for method, plan in plans.items():
                candidates = counted[method]
                r = ran.get(method)
                timing = (f"{r['seconds']:.2f} | {r['peak_mb']:.0f}" if r
                          else f"not run ({candidates * 8 / 2**30:,.0f} GiB of candidates) | -")
                print(f"| {name} | {n:,} | {k} | {method} | {widths(plan)} | {timing} | {pairs:,} "
                      f"| {candidates:,} | {candidates / pairs:,.2f} |", flush=True)

if __name__ == "__main__":
    main()
