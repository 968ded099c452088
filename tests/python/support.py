"""Test data shared by the Python tests: planted near-duplicates and friends."""

from __future__ import annotations

import os

import numpy as np
import pytest

# Set by scripts/sanitize.sh: the module under test is built with
# AddressSanitizer, which reserves the whole address space at start-up and ends
# the process when an allocation fails, so no test can lower the address-space
# limit and expect MemoryError under it.
SANITIZED = bool(os.environ.get("BRIMEL_SANITIZED"))
needs_address_space_limit = pytest.mark.skipif(
    SANITIZED, reason="an address-space limit cannot be tested under AddressSanitizer")


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


def flip_exactly(row: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    """A copy of `row` at Hamming distance exactly `count` (at most 8 * len(row))."""
    return flip_bits(row, min(count, 8 * row.shape[0]), rng)


def shaped_codes(n: int, d_bytes: int, flavour: str, rng: np.random.Generator) -> np.ndarray:
    """Rows of one of the column shapes real codes have.

    random   - uniform bytes;
    constant - about half the columns hold one value in every row;
    skewed   - bytes mostly 0, sometimes 1, 0x80 or 0xff (few set bits, low entropy);
    equal    - one row repeated, a few bits flipped in some rows.
    """
    if flavour == "random":
        return rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    if flavour == "constant":
        codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
        columns = rng.random(d_bytes) < 0.5
        codes[:, columns] = rng.integers(0, 256, size=int(columns.sum()), dtype=np.uint8)
        return codes
    if flavour == "skewed":
        values = np.array([0, 1, 0x80, 0xFF], dtype=np.uint8)
        return values[rng.choice(4, size=(n, d_bytes), p=[0.7, 0.1, 0.1, 0.1])]
    if flavour == "equal":
        codes = np.tile(rng.integers(0, 256, size=d_bytes, dtype=np.uint8), (n, 1))
        for r in range(0, n, 3):
            codes[r] = flip_bits(codes[r], min(2, 8 * d_bytes), rng)
        return codes
    raise ValueError(flavour)


FLAVOURS = ("random", "constant", "skewed", "equal")


def planted_self(n: int, d_bytes: int, k: int, flavour: str, seed: int):
    """Rows of `flavour` with planted pairs: one at distance exactly k and one at
    exactly k + 1 (when the width allows), an exact duplicate and near-duplicates.
    Returns (codes, at_k, beyond_k) with the planted (i, j), i < j, or None."""
    rng = np.random.default_rng(seed)
    codes = shaped_codes(n, d_bytes, flavour, rng)
    order = [int(r) for r in rng.permutation(n)]
    at_k = beyond_k = None
    if n >= 2:
        i, j = sorted(order[:2])
        codes[j] = flip_exactly(codes[i], k, rng)
        at_k = (i, j)
    if n >= 4 and k + 1 <= 8 * d_bytes:
        i, j = sorted(order[2:4])
        codes[j] = flip_exactly(codes[i], k + 1, rng)
        beyond_k = (i, j)
    for target in order[4:]:
        kind = rng.integers(0, 3)
        source = int(rng.integers(0, n))
        if kind == 0:
            codes[target] = codes[source]  # exact duplicate
        elif kind == 1:
            codes[target] = flip_exactly(codes[source], int(rng.integers(0, k + 1)), rng)
    return codes, at_k, beyond_k


def planted_cross(n_a: int, n_b: int, d_bytes: int, k: int, flavour: str, seed: int):
    """Like planted_self, for two arrays: the planted pairs are (row of a, row of b)."""
    rng = np.random.default_rng(seed)
    a = shaped_codes(n_a, d_bytes, flavour, rng)
    b = shaped_codes(n_b, d_bytes, flavour, rng)
    a_order = [int(r) for r in rng.permutation(n_a)]
    b_order = [int(r) for r in rng.permutation(n_b)]
    at_k = beyond_k = None
    if n_a >= 1 and n_b >= 1:
        at_k = (a_order[0], b_order[0])
        b[at_k[1]] = flip_exactly(a[at_k[0]], k, rng)
    if n_a >= 2 and n_b >= 2 and k + 1 <= 8 * d_bytes:
        beyond_k = (a_order[1], b_order[1])
        b[beyond_k[1]] = flip_exactly(a[beyond_k[0]], k + 1, rng)
    for target in b_order[2:]:
        if n_a and rng.integers(0, 2):
            b[target] = flip_exactly(a[int(rng.integers(0, n_a))], int(rng.integers(0, k + 1)), rng)
    return a, b, at_k, beyond_k
