"""Candidate counts of our self-joins, computed from their chunk plans with NumPy.

The joins do not report how many candidates they verified, so the bench counts
them the way the joins generate them: for each chunk of the plan, rows with
equal chunk keys form a group, and a group of m rows yields m(m - 1)/2
candidates. The total T is what the verification stage sees (a pair agreeing
on several chunks counts once per chunk), and 8 * T bytes is the size of the
candidate list the join holds in memory.
"""

from __future__ import annotations

import math

import numpy as np

from methods import max_chunk_bits
from workloads import Case


def byte_plan(d_bytes: int, k: int) -> list[np.ndarray]:
    """k + 1 byte ranges [floor(r*d/(k+1)), floor((r+1)*d/(k+1))), as bit position lists."""
    parts = k + 1
    bounds = [r * d_bytes // parts for r in range(parts + 1)]
    return [np.arange(8 * lo, 8 * hi) for lo, hi in zip(bounds, bounds[1:]) if hi > lo]


def bit_plan(d_bytes: int, k: int) -> list[np.ndarray] | None:
    """k + 1 even bit ranges; the single chunk of the first key-width bits for k = 0
    over more bits. None when a chunk would be wider than a key (the join refuses
    such a plan)."""
    total, widest = 8 * d_bytes, max_chunk_bits()
    if k == 0 and total > widest:
        return [np.arange(widest)]
    parts = k + 1
    bounds = [r * total // parts for r in range(parts + 1)]
    plan = [np.arange(lo, hi) for lo, hi in zip(bounds, bounds[1:]) if hi > lo]
    return None if any(p.size > widest for p in plan) else plan


def bit_entropies(a: np.ndarray, sample: int = 10_000) -> np.ndarray:
    """Binary entropy of every bit over rows 0, s, 2s, ... (s = max(n // m, 1), m rows)."""
    n = a.shape[0]
    m = min(n, sample)
    if m == 0:
        return np.zeros(8 * a.shape[1])
    stride = max(n // m, 1)
    rows = np.unpackbits(a[: stride * m : stride][:m], axis=1)
    q = rows.sum(axis=0, dtype=np.float64) / m
    with np.errstate(divide="ignore", invalid="ignore"):
        h = -q * np.log2(q) - (1 - q) * np.log2(1 - q)
    return np.where((q == 0.0) | (q == 1.0), 0.0, h)


def plan_from_entropies(h: np.ndarray, num_chunks: int, max_width: int) -> list[list[int]]:
    """Positive-entropy bits, highest first (stable), each to the lightest of
    `num_chunks` lists that has room; ties go to the lowest list. Lists ascending."""
    order = [int(p) for p in np.flatnonzero(h > 0.0)]
    order.sort(key=lambda p: -h[p])
    lists: list[list[int]] = [[] for _ in range(num_chunks)]
    loads = [0.0] * num_chunks
    for p in order:
        open_lists = [c for c in range(num_chunks) if len(lists[c]) < max_width]
        if not open_lists:
            break
        c = min(open_lists, key=lambda c: (loads[c], c))
        lists[c].append(p)
        loads[c] += h[p]
    return [sorted(chunk) for chunk in lists]


def adaptive_plan(a: np.ndarray, k: int) -> list[np.ndarray] | None:
    """The entropy-balanced plan over a sample of rows; the even bit plan when k = 0
    or when a list stays empty (fewer than k + 1 varying bits)."""
    if k == 0:
        return bit_plan(a.shape[1], k)
    lists = plan_from_entropies(bit_entropies(a), k + 1, max_chunk_bits())
    if any(not chunk for chunk in lists):
        return bit_plan(a.shape[1], k)
    return [np.array(chunk) for chunk in lists]


PLANS = {
    "byte": lambda a, k: byte_plan(a.shape[1], k),
    "bit": lambda a, k: bit_plan(a.shape[1], k),
    "adaptive": adaptive_plan,
}


def _chunk_keys(bits: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """One comparable key per row over the given bit positions."""
    packed = np.packbits(bits[:, positions], axis=1)
    if packed.shape[1] <= 8:
        wide = np.zeros((packed.shape[0], 8), dtype=np.uint8)
        wide[:, : packed.shape[1]] = packed
        return wide.view(np.uint64).ravel()
    return np.ascontiguousarray(packed).view(np.dtype((np.void, packed.shape[1]))).ravel()


def count_self_candidates(a: np.ndarray, plan: list[np.ndarray]) -> int:
    """Total candidates T of a self-join over `plan` (repeats across chunks included)."""
    bits = np.unpackbits(a, axis=1)
    total = 0
    for positions in plan:
        _, counts = np.unique(_chunk_keys(bits, positions), return_counts=True)
        counts = counts.astype(np.int64)
        total += int((counts * (counts - 1) // 2).sum())
    return total


def self_candidates(case: Case, a: np.ndarray, plan_name: str) -> int | None:
    """T for `plan_name` ("byte", "bit" or "adaptive") on this case's data, or None when
    the plan does not exist for this width and k."""
    if plan_name == "byte" and case.k >= case.d_bytes:
        return None
    if case.k >= 8 * case.d_bytes:
        return None
    plan = PLANS[plan_name](a, case.k)
    return None if plan is None else count_self_candidates(a, plan)


def join_memory_bytes(candidates: int) -> int:
    """Rough peak memory of a self-join holding T candidates: the per-chunk lists and
    their exact-size concatenation (8 bytes per candidate each)."""
    return 16 * candidates


def ratio(candidates: int | None, pairs: int | None) -> float:
    if candidates is None or not pairs:
        return math.nan
    return candidates / pairs
