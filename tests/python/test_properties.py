"""Every join and the Index against the one brute-force reference, on generated data.

Widths run from 1 to 80 bytes and k over each function's whole accepted range,
its ends drawn often. Every generated case with two rows or more holds a pair
planted at distance exactly k (which must be found) and, with four rows or
more, one at exactly k + 1 (which must not), besides exact duplicates,
near-duplicates and the column shapes of support.shaped_codes.
"""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import catalog
import reference
import support

MAX_WIDTH = 80


def width_and_k(accepts):
    """A width of 1 to MAX_WIDTH bytes and a k that `accepts` allows for it, the
    ends of the range (0, the largest) drawn often."""
    def with_k(d_bytes):
        ks = catalog.accepted_ks(accepts, d_bytes)
        return st.tuples(st.just(d_bytes), st.one_of(
            st.sampled_from([ks[0], ks[-1]]), st.sampled_from(ks[:4]), st.sampled_from(ks)))
    return st.integers(1, MAX_WIDTH).flatmap(with_k)


def check_planted(result, at_k, beyond_k, k):
    """The generator's promise, checked so that no case is vacuous."""
    found = {(i, j): dist for i, j, dist in result}
    if at_k is not None:
        assert found.get(at_k) == k
    if beyond_k is not None:
        assert beyond_k not in found


@pytest.mark.parametrize("join", catalog.SELF_JOINS, ids=str)
@given(data=st.data(), n=st.integers(0, 48), flavour=st.sampled_from(support.FLAVOURS),
       seed=st.integers(0, 2**32 - 1))
def test_self_join_equals_brute_force(join, data, n, flavour, seed):
    function = join.function()
    d_bytes, k = data.draw(width_and_k(join.accepts), label="d_bytes, k")
    codes, at_k, beyond_k = support.planted_self(n, d_bytes, k, flavour, seed)
    result = function(codes, k)
    assert result == reference.self_join(codes, k)
    check_planted(result, at_k, beyond_k, k)


@pytest.mark.parametrize("join", catalog.CROSS_JOINS, ids=str)
@given(data=st.data(), n_a=st.integers(0, 40), n_b=st.integers(0, 40),
       flavour=st.sampled_from(support.FLAVOURS), same=st.booleans(),
       seed=st.integers(0, 2**32 - 1))
def test_cross_join_equals_brute_force(join, data, n_a, n_b, flavour, same, seed):
    function = join.function()
    d_bytes, k = data.draw(width_and_k(join.accepts), label="d_bytes, k")
    if same:  # the same array object as both arguments
        a, at_k, beyond_k = support.planted_self(n_a, d_bytes, k, flavour, seed)
        b = a
    else:
        a, b, at_k, beyond_k = support.planted_cross(n_a, n_b, d_bytes, k, flavour, seed)
    result = function(a, b, k)
    assert result == reference.cross_join(a, b, k)
    check_planted(result, at_k, beyond_k, k)


@given(case=width_and_k(catalog.index_accepts), n=st.integers(0, 48),
       flavour=st.sampled_from(support.FLAVOURS), seed=st.integers(0, 2**32 - 1),
       cuts=st.lists(st.integers(0, 48), max_size=5), batched=st.lists(st.booleans(), min_size=6,
                                                                       max_size=6))
def test_index_equals_brute_force(case, n, flavour, seed, cuts, batched):
    Index = catalog.index_class()
    d_bytes, k = case
    stored, at_k, beyond_k = support.planted_self(n, d_bytes, k, flavour, seed)
    index = Index(d_bytes, k)
    # Fill in runs: each run by add_batch or by add, one row at a time.
    bounds = sorted({0, n, *(min(c, n) for c in cuts)})
    for lo, hi, batch in zip(bounds, bounds[1:], batched):
        if batch:
            assert index.add_batch(stored[lo:hi]) == lo
        else:
            assert [index.add(row) for row in stored[lo:hi]] == list(range(lo, hi))
    assert index.n == len(index) == n

    rng = np.random.default_rng(seed)
    queries = [stored[r] for r in range(0, n, 3)]
    queries += [support.flip_exactly(stored[r], k + extra, rng) for r in range(0, n, 5) for extra in (0, 1)]
    queries.append(support.shaped_codes(1, d_bytes, flavour, rng)[0])
    for q in queries:
        expected = [(j, dist) for _, j, dist in reference.cross_join(q[None, :], stored, k)]
        assert index.query(q) == expected
    if at_k is not None:  # the row planted at distance k from another
        i, j = at_k
        assert (j, k) in index.query(stored[i])
    if beyond_k is not None:
        i, j = beyond_k
        assert j not in [hit for hit, _ in index.query(stored[i])]


@pytest.mark.parametrize("join", catalog.JOINS, ids=str)
@pytest.mark.parametrize("d_bytes", [1, 16, 17, 80])
def test_empty_and_single_row_inputs(join, d_bytes):
    function = join.function()
    k = join.ks(d_bytes)[-1]  # the widest accepted bound: every pair present would match
    codes = support.random_codes(3, d_bytes)
    if join.kind == "self":
        for rows in (codes[:0], codes[:1], codes[2:3]):
            assert function(rows, k) == []
    else:
        for a, b in [(codes[:0], codes[:0]), (codes[:0], codes), (codes, codes[:0])]:
            assert function(a, b, k) == []
        assert function(codes[:1], codes[:1], k) == [(0, 0, 0)]
