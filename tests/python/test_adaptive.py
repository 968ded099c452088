"""find_pairs_self_adaptive: results on codes with constant, skewed and
unsampled bits against brute force, the fallback to the bit-level join, and the
entry checks and their texts."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np
import pytest

import reference
import support
from brimel_native import _brimel_native as native

adaptive = native.find_pairs_self_adaptive


def _panic_type():
    try:
        native.find_pairs_self_bit(np.zeros((0, 64), np.uint8), 1)
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        return type(e)
    raise AssertionError("no PanicException")


def numpy_brute_force(codes: np.ndarray, k: int) -> list[tuple[int, int, int]]:
    """Every pair i < j within distance k, from bit vectors: the distance of
    rows x and y is |x| + |y| - 2 x.y, computed by blocks of rows (float32 is
    exact for these small integers)."""
    bits = np.unpackbits(codes, axis=1).astype(np.float32)
    ones = bits.sum(axis=1)
    found = []
    for start in range(0, len(codes), 1000):
        block = bits[start:start + 1000]
        dist = ones[start:start + 1000, None] + ones[None, start:] - 2 * (block @ bits[start:].T)
        i, j = np.nonzero(dist <= k)
        keep = i < j
        i, j = i[keep], j[keep]
        found.append(np.stack([i + start, j + start, dist[i, j].astype(np.int64)], axis=1))
    triples = np.concatenate(found)
    triples = triples[np.lexsort((triples[:, 1], triples[:, 0]))]
    return [tuple(t) for t in triples.tolist()]


def plant(codes: np.ndarray, k: int, seed: int) -> np.ndarray:
    """Every odd row replaced by a copy of an earlier row with 0 to k + 1 bits
    flipped."""
    rng = np.random.default_rng(seed)
    for r in range(1, len(codes), 2):
        codes[r] = support.flip_bits(codes[int(rng.integers(0, r))], int(rng.integers(0, k + 2)), rng)
    return codes


def skewed_codes(n: int, d_bytes: int, k: int, seed: int) -> np.ndarray:
    """Planted codes whose bytes after the first quarter have each bit set with
    probability 1/8."""
    rng = np.random.default_rng(seed)
    codes = support.random_codes(n, d_bytes, seed + 1)
    tail = (n, d_bytes - d_bytes // 4)
    codes[:, d_bytes // 4:] &= rng.integers(0, 256, tail, np.uint8) & rng.integers(0, 256, tail, np.uint8)
    return plant(codes, k, seed)


def half_constant_codes(n: int, d_bytes: int, k: int, seed: int) -> np.ndarray:
    """Planted codes (flips in the first half only) whose second half is one
    constant for every row."""
    half = d_bytes // 2
    codes = np.full((n, d_bytes), 0x5A, np.uint8)
    codes[:, :half] = support.planted_codes(n, half, k, seed)
    return codes


def odd_rows_only_codes(n: int, k: int, seed: int) -> np.ndarray:
    """64-bit codes: even rows random in the first half and zero in the second;
    each odd row a copy of the row before with up to k + 1 bits flipped anywhere.
    At n = 20000 the entropy sample is the even rows, which never vary in the
    second half."""
    rng = np.random.default_rng(seed)
    codes = np.zeros((n, 8), np.uint8)
    codes[0::2, :4] = rng.integers(0, 256, (len(codes[0::2]), 4), np.uint8)
    codes[1::2] = codes[0::2][: n // 2]
    for r in range(1, n, 2):
        codes[r] = support.flip_bits(codes[r], int(rng.integers(0, k + 2)), rng)
    return codes


@pytest.mark.parametrize("make, n, d_bytes, k", [
    (support.planted_codes, 2000, 8, 4),
    (support.planted_codes, 800, 40, 2),  # lists of 107 positions: 128-bit keys
    (half_constant_codes, 2000, 8, 3),
    (half_constant_codes, 1000, 32, 15),
    (skewed_codes, 2000, 8, 5),
    (skewed_codes, 1000, 32, 9),
])
def test_equals_brute_force(make, n, d_bytes, k):
    codes = make(n, d_bytes, k, seed=d_bytes + k)
    assert adaptive(codes, k) == reference.self_join(codes, k)


def test_bits_varying_only_outside_the_sample_are_still_verified():
    codes = odd_rows_only_codes(20000, 3, seed=9)
    expected = numpy_brute_force(codes, 3)
    assert len(expected) > 8000  # most odd rows pair with the row before
    assert adaptive(codes, 3) == expected


def test_constant_half_gives_the_bit_join_result():
    codes = half_constant_codes(1500, 16, 6, seed=4)
    assert adaptive(codes, 6) == native.find_pairs_self_bit(codes, 6)


def test_k_zero_is_the_bit_join():
    codes = np.repeat(support.random_codes(50, 32, seed=2), 3, axis=0)
    codes[::7, 20] ^= 1  # equal in the keyed first 16 bytes only
    assert adaptive(codes, 0) == native.find_pairs_self_bit(codes, 0)


def test_equal_rows_fall_back_to_the_bit_join():
    assert adaptive(np.full((7, 8), 0x3C, np.uint8), 1) == [
        (i, j, 0) for i in range(7) for j in range(i + 1, 7)]
    panic = _panic_type()
    with pytest.raises(panic, match="^bit chunk wider than 128 bits$"):
        adaptive(np.full((7, 64), 0x3C, np.uint8), 1)
    # Rows that vary plan k + 1 = 2 lists of at most 128 bits each and succeed
    # where the even bit plan's 256-bit chunks cannot be keyed.
    codes = support.planted_codes(500, 64, 1, seed=6)
    assert adaptive(codes, 1) == reference.self_join(codes, 1)


def test_lock_is_released_during_the_search():
    # Eight varying bits, four lists of two: millions of candidates.
    codes = np.zeros((2000, 8), np.uint8)
    codes[:, 0] = support.random_codes(2000, 1, seed=8)[:, 0]
    assert support.releases_lock(lambda: adaptive(codes, 3))


_POOL_SCRIPT = """
import json, sys
sys.path[:0] = {paths!r}
import test_adaptive
from brimel_native import _brimel_native as native
codes = test_adaptive.skewed_codes(3000, 16, 9, seed=11)
print(json.dumps(native.find_pairs_self_adaptive(codes, 9)))
"""


@pytest.mark.parametrize("workers", [1, 2, 8])
def test_same_result_for_any_pool_size(workers):
    here = os.path.dirname(os.path.abspath(__file__))
    ref_dir = os.path.join(os.path.dirname(here), "reference")
    script = _POOL_SCRIPT.format(paths=[here, ref_dir])
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", script], env=env, check=True,
                         capture_output=True, text=True).stdout
    expected = reference.self_join(skewed_codes(3000, 16, 9, seed=11), 9)
    assert [tuple(t) for t in json.loads(out)] == expected


# --- entry checks -------------------------------------------------------------

def test_doc_and_signature():
    assert adaptive.__text_signature__ == "(a, k)"
    assert adaptive.__doc__ == (
        "Entropy-aware adaptive chunk planning (Task 4). Bit chunks are chosen\n"
        "from the positive-entropy bits only, balanced across k+1 chunks.")
    assert "find_pairs_self_adaptive" in native.__all__


@pytest.mark.parametrize("view", [
    lambda x: np.asfortranarray(x), lambda x: x[:, ::2], lambda x: x[::-1]])
def test_layout_text(view):
    a = view(np.arange(48, dtype=np.uint8).reshape(6, 8))
    with pytest.raises(ValueError, match=r"^A must be C-contiguous$"):
        adaptive(a, 3)


@pytest.mark.parametrize("shape", [(5, 0), (0, 0)])
def test_zero_width_rows(shape):
    with pytest.raises(ValueError, match=r"^A has zero-width rows \(shape\[1\] == 0\)$"):
        adaptive(np.zeros(shape, np.uint8), 0)
    # k is converted before any layout test.
    with pytest.raises(OverflowError):
        adaptive(np.zeros(shape, np.uint8), -1)


@pytest.mark.parametrize("shape, k, message", [
    ((5, 8), 64, r"^brimel: k \(64\) must be < 8\*d_bytes \(64\)$"),
    ((5, 8), 2**32 - 1, r"^brimel: k \(4294967295\) must be < 8\*d_bytes \(64\)$"),
    ((0, 8), 64, r"^brimel: k \(64\) must be < 8\*d_bytes \(64\)$"),
    # No row to sample, however wide the rows: the even plan is too wide.
    ((0, 10**12), 1, r"^bit chunk wider than 128 bits$"),
])
def test_k_is_not_checked_by_the_entry(shape, k, message):
    # An empty buffer: NumPy 1.x refuses np.zeros for a shape this wide.
    a = support.random_codes(*shape) if shape[0] else np.ndarray(shape, np.uint8, buffer=bytearray(0))
    before = sys.getrefcount(a)
    panic = _panic_type()
    with pytest.raises(panic, match=message):
        adaptive(a, k)
    assert sys.getrefcount(a) == before


def test_small_inputs_and_keywords():
    assert adaptive(np.zeros((0, 8), np.uint8), 3) == []
    assert adaptive(np.zeros((1, 8), np.uint8), 3) == []
    assert adaptive(np.zeros((4, 16), np.uint8)[1:2, 4:12], 3) == []  # one row of a larger array
    assert adaptive(k=2, a=np.zeros((2, 8), np.uint8)) == [(0, 1, 0)]
