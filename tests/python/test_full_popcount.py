"""_find_pairs_self_full_popcount: the byte self-join without early exit gives
find_pairs_self's result record for record; its own entry checks and texts."""

from __future__ import annotations

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import support
from brimel_native import _brimel_native as m

full = m._find_pairs_self_full_popcount


@pytest.mark.parametrize(
    ("n", "d_bytes", "k"),
    [
        (0, 8, 3),
        (600, 5, 4),   # no whole word: five tail bytes
        (800, 8, 3),
        (600, 12, 5),  # one word and four tail bytes
        (500, 17, 0),  # one byte-string chunk
        (500, 32, 1),  # 16-byte chunks
        (500, 34, 1),  # 17-byte chunks
        (300, 96, 40),
    ],
)
def test_equals_find_pairs_self_and_brute_force(n, d_bytes, k):
    a = support.planted_codes(n, d_bytes, k, seed=n + 7 * d_bytes + k)
    result = full(a, k)
    assert result == m.find_pairs_self(a, k)
    assert result == reference.self_join(a, k)


@st.composite
def planted_inputs(draw):
    d_bytes = draw(st.integers(1, 40))
    k = draw(st.integers(0, d_bytes - 1))
    n = draw(st.integers(0, 60))
    return support.planted_codes(n, d_bytes, k, seed=draw(st.integers(0, 2**31))), k


@settings(max_examples=80, deadline=None)
@given(planted_inputs())
def test_equals_find_pairs_self_on_any_input(case):
    a, k = case
    assert full(a, k) == m.find_pairs_self(a, k)


def test_docstring_signature_and_keywords():
    assert full.__text_signature__ == "(a, k)"
    assert full.__doc__ == "Bench-only: pre-Task-3 path using full popcount + compare (no early exit)."
    codes = np.array([[0, 0], [0, 1]], dtype=np.uint8)
    assert full(k=1, a=codes) == [(0, 1, 1)]


def test_module_registration_order():
    order = ["find_pairs_self", "find_pairs_self_bit", "find_pairs_cross", "find_pairs_cross_bit",
             "_find_pairs_self_full_popcount", "find_pairs_self_adaptive", "Index", "__version__"]
    assert m.__all__ == [name for name in order if hasattr(m, name)]


def test_lock_is_released_during_the_search():
    # Rows equal on their first chunk at k = 1: millions of candidates.
    codes = support.random_codes(3000, 8, seed=5)
    codes[:, :4] = 0
    assert support.releases_lock(lambda: full(codes, 1))


def _c(shape):
    return support.random_codes(*shape)


ERROR_CASES = {
    "Fortran-ordered": (np.asfortranarray(_c((3, 4))), 1, ValueError, "A must be C-contiguous"),
    "column slice": (_c((3, 8))[:, ::2], 1, ValueError, "A must be C-contiguous"),
    "layout before k": (_c((3, 4))[::-1], 9, ValueError, "A must be C-contiguous"),
    "k equals d_bytes": (_c((5, 4)), 4, ValueError, "k (4) must be < d_bytes (4) for byte-level path"),
    "zero width": (_c((5, 0)), 0, ValueError, "k (0) must be < d_bytes (0) for byte-level path"),
    "largest k, no rows": (_c((0, 8)), 2**32 - 1, ValueError,
                           "k (4294967295) must be < d_bytes (8) for byte-level path"),
    "k converted before layout": (np.asfortranarray(_c((3, 4))), -1, OverflowError,
                                  "out of range integral type conversion attempted"),
    "int8 array": (_c((2, 8)).view(np.int8), 1, TypeError,
                   "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
}


@pytest.mark.parametrize(("a", "k", "error", "text"), ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_errors_and_release_of_the_array(a, k, error, text):
    before = sys.getrefcount(a)
    with pytest.raises(error) as caught:
        full(a, k)
    assert str(caught.value) == text
    del caught
    assert sys.getrefcount(a) == before
