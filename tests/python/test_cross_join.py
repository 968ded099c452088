"""find_pairs_cross: the byte cross-join end to end against the brute-force
reference, its entry checks (texts and order) and the handling of both arrays."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import reference
import support
from brimel_native import _brimel_native as m

K_TEXT = (
    "brimel: k ({k}) must be < d_bytes ({d}). At k >= d_bytes the byte-aligned chunk "
    "brimelhole can miss pairs. For that regime use faiss.IndexBinaryFlat."
)


def planted_queries(a: np.ndarray, n_b: int, k: int, seed: int) -> np.ndarray:
    """Rows for B: every other one a row of `a` with 0 to k + 1 bits flipped,
    the rest random, so pairs sit at k, below it and just above it."""
    rng = np.random.default_rng(seed)
    b = support.random_codes(n_b, a.shape[1], seed + 1)
    if len(a):
        for j in range(0, n_b, 2):
            flips = min(int(rng.integers(0, k + 2)), 8 * a.shape[1])
            b[j] = support.flip_bits(a[int(rng.integers(0, len(a)))], flips, rng)
    return b


@pytest.mark.parametrize(
    ("n_a", "n_b", "d_bytes", "k"),
    [
        (400, 300, 3, 2),   # k = d_bytes - 1: one-byte chunks
        (500, 400, 8, 3),
        (300, 500, 12, 5),  # one word and four tail bytes
        (300, 300, 32, 1),  # 16-byte chunks: integer keys
        (300, 300, 34, 1),  # 17-byte chunks: byte-string keys
        (0, 50, 8, 3),
        (50, 0, 8, 3),
    ],
)
def test_matches_brute_force(n_a, n_b, d_bytes, k):
    a = support.planted_codes(n_a, d_bytes, k, seed=n_a + d_bytes + k)
    b = planted_queries(a, n_b, k, seed=n_b + k)
    result = m.find_pairs_cross(a, b, k)
    assert result == reference.cross_join(a, b, k)
    assert all(type(t) is tuple and len(t) == 3 for t in result)


def test_same_array_for_a_and_b():
    x = support.planted_codes(300, 8, 2, seed=9)
    before = sys.getrefcount(x)
    result = m.find_pairs_cross(a=x, b=x, k=2)
    assert result == reference.cross_join(x, x, 2)
    assert {(i, i, 0) for i in range(len(x))} <= set(result)
    assert sys.getrefcount(x) == before


def test_order_is_by_row_of_a_then_row_of_b():
    x = np.zeros(8, dtype=np.uint8)
    y = np.full(8, 0xFF, dtype=np.uint8)
    assert m.find_pairs_cross(np.stack([x, y]), np.stack([y, x]), 3) == [(0, 1, 0), (1, 0, 0)]


def test_lock_is_released_during_the_search():
    # Rows equal on their first chunk at k = 1: millions of candidates.
    codes = support.random_codes(1500, 8, seed=5)
    codes[:, :4] = 0
    assert support.releases_lock(lambda: m.find_pairs_cross(codes, codes, 1))


def test_text_signature_and_no_docstring():
    assert m.find_pairs_cross.__text_signature__ == "(a, b, k)"
    assert m.find_pairs_cross.__doc__ is None


def _fortran(shape):
    return np.asfortranarray(support.random_codes(*shape))


def _c(shape):
    return support.random_codes(*shape)


SAME_WIDTH = "A and B must have the same d_bytes (shape[1])"
CONTIGUOUS = "A and B must be C-contiguous; pass np.ascontiguousarray(...)"
NOT_AN_ARRAY = "argument '{}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"

# (a, b, k, exception type, text): the first failing check of the entry names
# the error, whatever else is wrong.
ERROR_CASES = {
    "width before layout of b": (_c((3, 8)), _fortran((4, 16)), 1, ValueError, SAME_WIDTH),
    "width before layout of a": (_fortran((3, 8)), _c((4, 16)), 1, ValueError, SAME_WIDTH),
    "width before k": (_c((3, 8)), _c((4, 4)), 9, ValueError, SAME_WIDTH),
    "b Fortran-ordered": (_c((3, 8)), _fortran((4, 8)), 1, ValueError, CONTIGUOUS),
    "a column slice": (_c((3, 16))[:, ::2], _c((4, 8)), 1, ValueError, CONTIGUOUS),
    "layout before k": (_c((3, 8)), _c((4, 8))[::-1], 8, ValueError, CONTIGUOUS),
    "k equals d_bytes": (_c((3, 8)), _c((4, 8)), 8, ValueError, K_TEXT.format(k=8, d=8)),
    "largest k, no rows": (_c((0, 4)), _c((0, 4)), 2**32 - 1, ValueError, K_TEXT.format(k=2**32 - 1, d=4)),
    "zero width": (_c((3, 0)), _c((4, 0)), 0, ValueError, K_TEXT.format(k=0, d=0)),
    "k converted before layout": (_fortran((3, 8)), _c((4, 8)), -1, OverflowError,
                                  "out of range integral type conversion attempted"),
    "b int8": (_c((3, 8)), _c((3, 8)).view(np.int8), 1, TypeError, NOT_AN_ARRAY.format("b")),
    "a named first": (_c((3, 8)).view(np.int8), _c((3, 8))[0], 1, TypeError, NOT_AN_ARRAY.format("a")),
}


@pytest.mark.parametrize(("a", "b", "k", "error", "text"), ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_errors_name_the_first_failing_check_and_release_both_arrays(a, b, k, error, text):
    before = (sys.getrefcount(a), sys.getrefcount(b))
    with pytest.raises(error) as caught:
        m.find_pairs_cross(a, b, k)
    assert str(caught.value) == text
    del caught  # its traceback refers to the arguments
    assert (sys.getrefcount(a), sys.getrefcount(b)) == before


def test_same_array_twice_is_released_twice_on_error():
    x = _c((3, 8))
    before = sys.getrefcount(x)
    with pytest.raises(ValueError):
        m.find_pairs_cross(x, x, 8)
    assert sys.getrefcount(x) == before
