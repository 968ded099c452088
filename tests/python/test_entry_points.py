"""The six pair-search functions side by side: doc texts, the C-contiguous text
of each, and the release of the arrays when the search itself fails."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import support
from brimel_native import _brimel_native as m

SELF = ["find_pairs_self", "find_pairs_self_bit", "find_pairs_self_adaptive", "_find_pairs_self_full_popcount"]
CROSS = ["find_pairs_cross", "find_pairs_cross_bit"]

DOCS = {
    "find_pairs_self": None,
    "find_pairs_self_bit": None,
    "find_pairs_cross": None,
    "find_pairs_cross_bit": None,
    "_find_pairs_self_full_popcount":
        "Bench-only: pre-Task-3 path using full popcount + compare (no early exit).",
    "find_pairs_self_adaptive":
        "Entropy-aware adaptive chunk planning (Task 4). Bit chunks are chosen\n"
        "from the positive-entropy bits only, balanced across k+1 chunks.",
}

CONTIGUOUS_TEXT = {
    "find_pairs_self": "A must be C-contiguous; pass np.ascontiguousarray(A)",
    "find_pairs_self_bit": "A must be C-contiguous; pass np.ascontiguousarray(A)",
    "find_pairs_self_adaptive": "A must be C-contiguous",
    "_find_pairs_self_full_popcount": "A must be C-contiguous",
    "find_pairs_cross": "A and B must be C-contiguous; pass np.ascontiguousarray(...)",
    "find_pairs_cross_bit": "A and B must be C-contiguous; pass np.ascontiguousarray(...)",
}


@pytest.mark.parametrize("name", SELF + CROSS)
def test_signature_and_docstring(name):
    f = getattr(m, name)
    assert f.__text_signature__ == ("(a, k)" if name in SELF else "(a, b, k)")
    assert f.__doc__ == DOCS[name]
    assert f.__module__ == m.__name__


VIEWS = {
    "Fortran-ordered": lambda x: np.asfortranarray(x[:3, :4]),
    "column slice": lambda x: x[:3, ::2],
    "reversed": lambda x: x[2::-1, :4],
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
@pytest.mark.parametrize("name", SELF + CROSS)
def test_non_contiguous_a_gives_the_functions_own_text(name, view):
    a = view(support.random_codes(6, 8, seed=1))
    assert a.shape == (3, 4) and not a.flags.c_contiguous
    args = (a, 1) if name in SELF else (a, support.random_codes(3, 4, seed=2), 1)
    with pytest.raises(ValueError) as caught:
        getattr(m, name)(*args)
    assert str(caught.value) == CONTIGUOUS_TEXT[name]


# Searches that pass the entry checks and end in PanicException.
PANICS = {
    "find_pairs_self_bit": ((5, 64), 1, "bit chunk wider than 128 bits"),
    "find_pairs_cross_bit": ((5, 64), 1, "bit chunk wider than 128 bits"),
    "find_pairs_self_adaptive": ((5, 8), 64, "brimel: k (64) must be < 8*d_bytes (64)"),
}


@pytest.mark.parametrize("name", PANICS)
def test_a_failing_search_releases_the_arrays(name):
    shape, k, text = PANICS[name]
    a = support.random_codes(*shape, seed=3)
    b = support.random_codes(*shape, seed=4)
    args = (a, k) if name in SELF else (a, b, k)
    before = [sys.getrefcount(x) for x in args[:-1]]
    with pytest.raises(BaseException) as caught:
        getattr(m, name)(*args)
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == text
    del caught  # its traceback refers to the arguments
    assert [sys.getrefcount(x) for x in args[:-1]] == before
    # The lock is held again and the arrays are free: the next call works.
    assert getattr(m, name)(*args[:-1], 0) is not None
