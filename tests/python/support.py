"""Test data shared by the Python tests: planted near-duplicates and friends."""

from __future__ import annotations

import numpy as np


def random_codes(n: int, d_bytes: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 256, size=(n, d_bytes), dtype=np.uint8)


def flip_bits(row: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    """A copy of `row` with `count` distinct bits flipped."""
    out = row.copy()
    bits = rng.choice(8 * row.shape[0], size=count, replace=False)
    for bit in bits:
        out[bit // 8] ^= np.uint8(1 << (7 - bit % 8))
    return out


def planted_codes(n: int, d_bytes: int, k: int, seed: int = 0) -> np.ndarray:
    """Random rows where about half are copies of an earlier row with 0 to k + 1
    bits flipped, so pairs sit exactly at k and k + 1 as well as below."""
    rng = np.random.default_rng(seed)
    codes = random_codes(n, d_bytes, seed + 1)
    total_bits = 8 * d_bytes
    for r in range(1, n, 2):
        source = int(rng.integers(0, r))
        flips = min(int(rng.integers(0, k + 2)), total_bits)
        codes[r] = flip_bits(codes[source], flips, rng)
    return codes


def as_triples(result) -> list[tuple[int, ...]]:
    return [tuple(t) for t in result]


def releases_lock(search) -> bool:
    """Whether `search()` lets another Python thread run while it works.

    With a switch interval far beyond the test's length, a waiting thread only
    gets the interpreter lock when the searching thread gives it up: if the
    search keeps it, the observer first runs after the search has finished.
    `search` must take long enough for the observer to be scheduled (millions
    of candidates)."""
    import sys
    import threading

    state = {"finished": False, "seen_running": None}
    started = threading.Event()

    def searcher():
        started.set()
        search()
        state["finished"] = True

    def observer():
        started.wait()
        state["seen_running"] = not state["finished"]

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        threads = [threading.Thread(target=observer), threading.Thread(target=searcher)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    return state["seen_running"] is True
