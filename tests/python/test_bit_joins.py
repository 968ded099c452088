"""find_pairs_self_bit and find_pairs_cross_bit: results against the brute-force
reference, the entry checks and their texts, and the interpreter lock."""

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

# (n, d_bytes, k): narrow codes, widths that are not a multiple of 8, k near
# 8 * d_bytes, k = 0 over more than 128 bits, chunks of exactly 128 bits.
SHAPES = [
    (300, 1, 0), (300, 1, 7), (400, 3, 5), (300, 3, 23), (1000, 5, 9), (1500, 8, 10),
    (400, 8, 63), (800, 12, 20), (600, 17, 0), (500, 32, 0), (500, 32, 1), (400, 64, 3),
    (400, 32, 15),
]


def _panic_type():
    try:
        native.find_pairs_self_bit(np.zeros((0, 64), np.uint8), 1)
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        return type(e)
    raise AssertionError("no PanicException")


@pytest.mark.parametrize("n, d_bytes, k", SHAPES)
def test_self_join_equals_brute_force(n, d_bytes, k):
    codes = support.planted_codes(n, d_bytes, k, seed=d_bytes * 100 + k)
    assert native.find_pairs_self_bit(codes, k) == reference.self_join(codes, k)


@pytest.mark.parametrize("n, d_bytes, k", SHAPES)
def test_cross_join_equals_brute_force(n, d_bytes, k):
    # Two halves of one planted matrix: B holds near-duplicates of A's rows.
    codes = support.planted_codes(n, d_bytes, k, seed=d_bytes * 100 + k + 1)
    a, b = codes[: n // 2 + 7], codes[n // 2 + 7:]
    assert native.find_pairs_cross_bit(a, b, k) == reference.cross_join(a, b, k)


@pytest.mark.parametrize("d_bytes, k", [(8, 3), (8, 7), (12, 5), (20, 0), (2, 1)])
def test_self_join_equals_byte_self_join(d_bytes, k):
    codes = support.planted_codes(2000, d_bytes, k, seed=7)
    assert native.find_pairs_self_bit(codes, k) == native.find_pairs_self(codes, k)


def test_k_zero_compares_bytes_beyond_the_keyed_ones():
    # Only bits 0..127 are keyed; rows equal there but not later are rejected.
    codes = np.full((4, 32), 0x5A, np.uint8)
    codes[2, 31] ^= 1
    codes[3, 0] ^= 0x80
    assert native.find_pairs_self_bit(codes, 0) == [(0, 1, 0)]
    assert native.find_pairs_cross_bit(codes[:2], codes[2:], 0) == []
    assert native.find_pairs_cross_bit(codes, codes[:1], 0) == [(0, 0, 0), (1, 0, 0)]


def test_identical_rows_reported_once():
    codes = np.full((6, 4), 0xC3, np.uint8)
    assert native.find_pairs_self_bit(codes, 31) == [(i, j, 0) for i in range(6) for j in range(i + 1, 6)]
    assert native.find_pairs_cross_bit(codes[:2], codes[:3], 31) == [
        (i, j, 0) for i in range(2) for j in range(3)]


def test_same_array_on_both_sides():
    codes = support.planted_codes(500, 8, 4, seed=3)
    result = native.find_pairs_cross_bit(codes, codes, 4)
    assert result == reference.cross_join(codes, codes, 4)
    assert all((i, i, 0) in set(result) for i in range(500))


_POOL_SCRIPT = """
import json, sys
sys.path[:0] = {paths!r}
import support
from brimel_native import _brimel_native as native
codes = support.planted_codes(3000, 8, 12, seed=11)
print(json.dumps(native.find_pairs_self_bit(codes, 12)))
"""


@pytest.mark.parametrize("workers", [1, 2, 8])
def test_same_result_for_any_pool_size(workers):
    here = os.path.dirname(os.path.abspath(__file__))
    script = _POOL_SCRIPT.format(paths=[here])
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", script], env=env, check=True,
                         capture_output=True, text=True).stdout
    expected = reference.self_join(support.planted_codes(3000, 8, 12, seed=11), 12)
    assert [tuple(t) for t in json.loads(out)] == expected


# --- entry checks -------------------------------------------------------------

def test_k_bound_texts():
    a = np.zeros((5, 8), np.uint8)
    assert len(native.find_pairs_self_bit(a, 63)) == 10
    assert len(native.find_pairs_cross_bit(a, a, 63)) == 25
    with pytest.raises(ValueError, match=r"^brimel: k \(64\) must be < 8\*d_bytes \(64\)$"):
        native.find_pairs_self_bit(a, 64)
    with pytest.raises(ValueError, match=r"^brimel: k \(64\) must be < 8\*d_bytes \(64\)\.$"):
        native.find_pairs_cross_bit(a, a, 64)
    with pytest.raises(ValueError, match=r"^brimel: k \(0\) must be < 8\*d_bytes \(0\)$"):
        native.find_pairs_self_bit(np.zeros((5, 0), np.uint8), 0)


@pytest.mark.parametrize("n", [0, 5])
def test_chunk_wider_than_128_bits_is_a_panic(n):
    a = np.zeros((n, 64), np.uint8)
    panic = _panic_type()
    assert not issubclass(panic, Exception)
    for call in (lambda: native.find_pairs_self_bit(a, 1), lambda: native.find_pairs_cross_bit(a, a, 1)):
        with pytest.raises(panic, match="^bit chunk wider than 128 bits$"):
            call()
    assert native.find_pairs_self_bit(a, 0) == [(i, j, 0) for i in range(n) for j in range(i + 1, n)]


@pytest.mark.parametrize("view", [
    lambda x: np.asfortranarray(x), lambda x: x[:, ::2], lambda x: x[::-1]])
def test_self_join_layout_texts(view):
    a = view(np.arange(48, dtype=np.uint8).reshape(6, 8))
    with pytest.raises(ValueError, match=r"^A must be C-contiguous; pass np\.ascontiguousarray\(A\)$"):
        native.find_pairs_self_bit(a, 3)


def test_single_row_of_a_larger_array_is_accepted():
    a = np.zeros((4, 16), np.uint8)
    assert native.find_pairs_self_bit(a[1:2, 4:12], 3) == []
    assert native.find_pairs_cross_bit(a[1:2, 4:12], a[2:3, 4:12], 3) == [(0, 0, 0)]


def test_cross_join_checks_in_order():
    a = np.zeros((3, 8), np.uint8)
    with pytest.raises(ValueError, match=r"^A and B must have the same d_bytes \(shape\[1\]\)$"):
        native.find_pairs_cross_bit(np.asfortranarray(a), np.zeros((4, 16), np.uint8), 200)
    contiguous = r"^A and B must be C-contiguous; pass np\.ascontiguousarray\(\.\.\.\)$"
    with pytest.raises(ValueError, match=contiguous):
        native.find_pairs_cross_bit(a, np.asfortranarray(np.zeros((4, 8), np.uint8)), 200)
    with pytest.raises(OverflowError):
        native.find_pairs_cross_bit(np.asfortranarray(a), a, -1)
    assert native.find_pairs_cross_bit(np.zeros((0, 8), np.uint8), np.zeros((4, 8), np.uint8), 3) == []


def test_int8_b_is_a_type_error_and_releases_a():
    a = np.zeros((3, 8), np.uint8)
    before = sys.getrefcount(a)
    text = r"^argument 'b': 'ndarray' object cannot be converted to 'PyArray<T, D>'$"
    with pytest.raises(TypeError, match=text):
        native.find_pairs_cross_bit(a, np.zeros((3, 8), np.int8), 1)
    for bad_k in (64, 1.5):
        with pytest.raises((ValueError, TypeError)):
            native.find_pairs_cross_bit(a, a, bad_k)
    assert sys.getrefcount(a) == before


def test_arguments_by_keyword():
    a = np.zeros((2, 8), np.uint8)
    assert native.find_pairs_cross_bit(b=a, a=a[:1], k=0) == [(0, 0, 0), (0, 1, 0)]
    assert native.find_pairs_self_bit(k=0, a=a) == [(0, 1, 0)]
    with pytest.raises(TypeError, match=r"^find_pairs_cross_bit\(\) missing 3 required positional "
                                        r"arguments: 'a', 'b', and 'k'$"):
        native.find_pairs_cross_bit()


# --- the interpreter lock -----------------------------------------------------

@pytest.mark.parametrize("join", ["self", "cross"])
def test_lock_is_released_during_the_search(join):
    # With a switch interval far beyond the test's length, a waiting thread only
    # gets the lock when the searching thread gives it up: if the search keeps
    # it, the observer first runs after the search has finished.
    # All rows share their first 32 bits (one chunk at k = 1) and are random
    # after: millions of candidates, few results.
    codes = support.random_codes(20000, 8, seed=5)
    codes[:, :4] = 0
    search = ((lambda: native.find_pairs_self_bit(codes, 1)) if join == "self"
              else (lambda: native.find_pairs_cross_bit(codes[:10000], codes[10000:], 1)))
    assert support.releases_lock(search)
