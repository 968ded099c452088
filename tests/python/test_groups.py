"""find_groups and keep_mask against the components of the brute-force
reference's pairs, on codes with exact duplicates and chains (a-b and b-c
within k, a-c not)."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
import support
from brimel_native import find_groups, groups_with_ids, keep_mask


def components(n, pairs):
    """Label of each row: the lowest row of its component (the lowest label of
    its neighbours, spread until nothing changes)."""
    labels = np.arange(n)
    i, j = np.array([p[:2] for p in pairs], np.int64).reshape(-1, 2).T
    while True:
        spread = labels.copy()
        np.minimum.at(spread, i, labels[j])
        np.minimum.at(spread, j, labels[i])
        if np.array_equal(spread, labels):
            return labels
        labels = spread


def chained(n, d_bytes, k, seed):
    """Random rows, then chains of near rows (each k bits from the last, so
    links two apart are mostly beyond k), then exact copies of earlier rows,
    the whole shuffled."""
    rng = np.random.default_rng(seed)
    codes = support.random_codes(n, d_bytes, seed)
    r = n // 3
    while r < 2 * n // 3:
        for _ in range(int(rng.integers(1, 6))):
            if r < n:
                codes[r] = support.flip(codes[r - 1], int(rng.integers(max(k - 1, 0), k + 1)), rng)
                r += 1
        r += 1
    for target in range(max(2 * n // 3, 1), n):
        codes[target] = codes[int(rng.integers(0, target))]
    return codes[rng.permutation(n)]


def check(codes, k):
    labels = find_groups(codes, k)
    expected = components(codes.shape[0], reference.self_join(codes, k))
    assert labels.dtype == np.int64
    np.testing.assert_array_equal(labels, expected)
    np.testing.assert_array_equal(keep_mask(labels), expected == np.arange(codes.shape[0]))


@given(
    n=st.integers(0, 60),
    d_bytes=st.sampled_from([1, 2, 8, 9, 32]),
    k_fraction=st.floats(0, 1),
    seed=st.integers(0, 2**32 - 1),
)
def test_groups_are_the_components_of_the_pairs(n, d_bytes, k_fraction, seed):
    k = min(int(k_fraction * 8 * d_bytes), 8 * d_bytes - 1)
    check(chained(n, d_bytes, k, seed), k)


@pytest.mark.parametrize("k", [3, 24])
def test_planned_join_groups(k):
    # 6,000 distinct 256-bit codes: enough for the planner to run parts, not
    # the tile scan (at k = 3, 64-bit parts keyed by a hash; at k = 24, 10-bit).
    check(chained(9_000, 32, k, seed=k), k)


def test_identical_rows_collapse():
    # 200,000 copies of one code hold 2e10 pairs within k: finishing at all
    # shows that no pair list is built.
    codes = np.zeros((200_000, 8), dtype=np.uint8)
    codes[::1000, 0] = 0x0F  # 200 rows 4 bits away: their own group at k = 3
    labels = find_groups(codes, 3)
    expected = np.where(codes[:, 0] == 0, 1, 0)
    np.testing.assert_array_equal(labels, expected)
    assert np.flatnonzero(keep_mask(labels)).tolist() == [0, 1]


@pytest.mark.parametrize(
    "labels, kept",
    [
        ([0, 0, 1, 1], [0, 2]),  # np.unique's inverse: the second group kept too
        ([1, 0], [0, 1]),  # labels that are not rows
        ([7, 3, 7, 3, 9], [0, 1, 4]),  # database group ids
        (["b", "a", "b"], [0, 1]),
        ([0, 0, 2, 0, 2], [0, 2]),  # find_groups' own form
        ([], []),
    ],
)
def test_keep_mask_keeps_the_first_row_of_each_label(labels, kept):
    assert np.flatnonzero(keep_mask(labels)).tolist() == kept
    ids = np.array([f"f{r}" for r in range(len(labels))])
    named = groups_with_ids(np.asarray(labels), ids)
    assert np.flatnonzero(named.keep).tolist() == kept
    first = {}
    assert named.group.tolist() == [ids[first.setdefault(str(v), r)] for r, v in enumerate(labels)]
