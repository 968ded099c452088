"""The bench's candidate counts (bench/candidates.py): they decide which joins the
bench skips for memory, so they must match the chunk plans the joins use."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import candidates  # noqa: E402


def pairs_sharing_a_chunk(a: np.ndarray, plan) -> int:
    """Brute force: per chunk, the pairs i < j equal on all of the chunk's bits."""
    bits = np.unpackbits(a, axis=1)
    total = 0
    for positions in plan:
        part = bits[:, positions]
        equal = (part[:, None, :] == part[None, :, :]).all(axis=2)
        total += int(np.triu(equal, k=1).sum())
    return total


@pytest.mark.parametrize("d_bytes, k, plan_name", [
    (8, 3, "byte"), (8, 6, "byte"), (32, 15, "byte"), (8, 10, "bit"), (4, 0, "bit"), (32, 0, "bit"),
    (8, 5, "adaptive")])
def test_counts_equal_brute_force(d_bytes, k, plan_name):
    rng = np.random.default_rng(d_bytes * 100 + k)
    # Few distinct rows, then some bits flipped: large groups on every chunk.
    a = rng.integers(0, 256, size=(12, d_bytes), dtype=np.uint8)[rng.integers(0, 12, size=300)]
    a[::3, 0] ^= 0x11
    plan = candidates.PLANS[plan_name](a, k)
    count = candidates.count_self_candidates(a, plan)
    assert count == pairs_sharing_a_chunk(a, plan) > 0


@pytest.mark.parametrize("d_bytes, k, widths", [
    (8, 3, [16, 16, 16, 16]), (1, 7, [1] * 8), (8, 0, [64]), (32, 0, [128]), (17, 0, [128]),
    (32, 2, [85, 85, 86]), (64, 3, [128] * 4), (64, 1, None)])
def test_bit_plan_widths(d_bytes, k, widths):
    plan = candidates.bit_plan(d_bytes, k)
    assert (None if plan is None else [len(p) for p in plan]) == widths


def test_byte_plan_spreads_the_wider_ranges():
    assert [len(p) // 8 for p in candidates.byte_plan(10, 3)] == [2, 3, 2, 3]


@pytest.mark.parametrize("num_chunks, max_width, expected", [
    (2, 128, [[0, 1], [3, 4]]), (1, 2, [[1, 3]]), (3, 128, [[1], [3], [0, 4]])])
def test_entropy_plan_balances_loads(num_chunks, max_width, expected):
    h = np.array([0.5, 1.0, 0.0, 1.0, 0.25])
    assert candidates.plan_from_entropies(h, num_chunks, max_width) == expected


def test_adaptive_plan_falls_back_when_too_few_bits_vary():
    a = np.zeros((50, 8), dtype=np.uint8)
    a[::2, 0] = 0b11  # two varying bits, three chunks wanted
    assert [len(p) for p in candidates.adaptive_plan(a, 2)] == [21, 21, 22]
