"""Every join, find_pairs and each plan its planner considers against the
brute-force reference: widths of 1 to 80 bytes, k over each function's
accepted range (its ends drawn often), a pair
planted at exactly k (found) and one at k + 1 (not found), duplicates,
near-duplicates and the column shapes of support.shaped_codes."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import catalog
import reference
import support
from brimel_native import _brimel_pairs, explain

SEEDS = st.integers(0, 2**32 - 1)
FLAVOURS = st.sampled_from(support.FLAVOURS)


def width_and_k(accepts):
    """A width of 1 to 80 bytes and a k that `accepts` allows for it."""

    def with_k(d_bytes):
        ks = catalog.accepted_ks(accepts, d_bytes)
        ends = st.sampled_from([ks[0], ks[-1]])
        return st.tuples(st.just(d_bytes), st.one_of(ends, st.sampled_from(ks[:4]), st.sampled_from(ks)))

    return st.integers(1, 80).flatmap(with_k)


@pytest.mark.parametrize("join", catalog.JOINS + catalog.PLANNED + catalog.PLAN_OPTIONS, ids=str)
@given(
    data=st.data(),
    n=st.integers(0, 48),
    cut=st.integers(0, 48),
    same=st.booleans(),
    flavour=FLAVOURS,
    seed=SEEDS,
)
def test_join_equals_brute_force(join, data, n, cut, same, flavour, seed):
    d_bytes, k = data.draw(width_and_k(join.accepts), label="d_bytes, k")
    codes, at_k, beyond_k = support.planted(n, d_bytes, k, flavour, seed)
    if join.kind == "self":
        result, expected = join(codes, None, k), reference.self_join(codes, k)
    else:
        # a and b: the same object, or rows split so that the planted pairs cross
        # (a holds the first row of each pair, b the rest).
        pairs = [p for p in (at_k, beyond_k) if p]
        firsts = [p[0] for p in pairs]
        rest = [r for r in range(n) if r not in firsts + [p[1] for p in pairs]]
        rows_a = firsts + rest[: min(cut, len(rest))]
        rows_b = [r for r in range(n) if r not in rows_a]
        a, b = (codes, codes) if same else (codes[rows_a], codes[rows_b])
        result, expected = join(a, b, k), reference.cross_join(a, b, k)
        position = (lambda i, j: (i, j)) if same else (lambda i, j: (rows_a.index(i), rows_b.index(j)))
        at_k, beyond_k = (position(*p) if p else None for p in (at_k, beyond_k))
    assert result == expected
    found = {(i, j): dist for i, j, dist in result}
    assert at_k is None or found.get(at_k) == k
    assert beyond_k not in found


def test_adaptive_join_beyond_the_bit_limits_and_the_sample():
    adaptive = catalog.m.find_pairs_self_adaptive
    # Rows that vary plan two lists of at most 128 bits where the even bit plan's
    # 256-bit chunks cannot be keyed.
    codes, _, _ = support.planted(300, 64, 1, seed=6)
    assert adaptive(codes, 1) == reference.self_join(codes, 1)
    # 20,000 rows: the entropy sample is the even rows, which never vary in the
    # second half; each odd row copies the row before with 0 to 4 bits flipped
    # anywhere. Every distance must still be the whole code's.
    rng = np.random.default_rng(9)
    codes = np.zeros((20000, 8), np.uint8)
    codes[0::2, :4] = rng.integers(0, 256, (10000, 4), np.uint8)
    flips = rng.integers(0, 5, 10000)
    codes[1::2] = [support.flip(codes[2 * r], int(f), rng) for r, f in enumerate(flips)]
    result = adaptive(codes, 3)
    i, j, dist = np.array(result).T
    assert (np.unpackbits(codes[i] ^ codes[j], axis=1).sum(axis=1) == dist).all()
    assert {(2 * r, 2 * r + 1, int(f)) for r, f in enumerate(flips) if f <= 3} <= set(result)


def test_explain_names_the_plan_that_runs():
    # 20,000 rows, past the size below which find_pairs scans unplanned; the
    # plans themselves on heavy and skewed inputs are the engine tests'.
    codes = support.planted(20000, 8, 3, seed=1)[0]
    expected = reference.self_join(codes, 3)
    assert catalog.PLANNED[0](codes, None, 3) == expected
    assert list(zip(*[x.tolist() for x in _brimel_pairs.scan(codes, None, 3)[:3]])) == expected
    plan = explain(codes, 3)
    assert plan["plan"] in plan["options"] and plan["options"][-1]["plan"] == "scan"
    # (That every plan the planner considers finds every pair: the engine fuzzer.)
    for option in plan["options"][:-1]:
        assert option["estimated_cost_ns"] > 0 and option["estimated_candidates"] >= 0
    assert plan["plan"]["plan"] != "scan"  # random 64-bit codes at k = 3: parts beat the scan
    assert explain(codes, 3) == plan
    ran = explain(codes, 3, run=True)["run"]
    assert ran["plan"] == plan["plan"]["plan"] and len(ran["parts"]) == len(plan["plan"]["parts"])
    assert ran["pairs"] == len(expected) == sum(p["recorded"] for p in ran["parts"])
    assert ran["verified"] == sum(p["verified"] for p in ran["parts"]) >= ran["pairs"]
    assert explain(np.zeros((20000, 8), np.uint8), 3)["plan"]["plan"] == "scan"


@pytest.mark.parametrize("kind", ["self", "cross"])
def test_pairs_ascend_where_rows_hold_hundreds(kind):
    # 8,192 rows are ordered in ranges of 32: rows 0-31 and the last 600 hold
    # one code with 0 or 1 bit flipped, so range 0 holds over 16k pairs (split
    # into pieces, each radix-sorted) and the last ranges thousands.
    rng = np.random.default_rng(3)
    a = support.random_codes(8192, 8, seed=3)
    dense = [*range(32), *range(8192 - 600, 8192)]
    a[dense] = [support.flip(a[0], int(f), rng) for f in rng.integers(0, 2, len(dense))]
    if kind == "self":
        assert catalog.PLANNED[0](a, None, 2) == reference.self_join(a, 2)
    else:
        b = a[-600:].copy()
        assert catalog.PLANNED[1](a, b, 2) == reference.cross_join(a, b, 2)


@pytest.mark.parametrize("kind", ["self", "cross"])
def test_large_groups_split_into_tiles(kind):
    # 2,600 rows share their first 16 bits, and 500 more differ from them in
    # one of those bits: on a part of those bits the first group holds more
    # rows than a tile, with a neighbour group, and its tiles are cut smaller
    # to give every worker several items. Near pairs are planted across them.
    rng = np.random.default_rng(5)
    a = support.random_codes(3300, 32, seed=5)
    a[:2600, :2] = (0x5A, 0xC3)
    a[2600:3100, :2] = (0x5A, 0xC2)
    for r in range(0, 3100, 37):
        a[r + 1] = support.flip(a[r], int(rng.integers(0, 32)), rng)
    options = catalog.PLAN_OPTIONS[0 if kind == "self" else 1]
    if kind == "self":
        assert options(a, None, 31) == reference.self_join(a, 31)
    else:
        b = a[::3].copy()
        assert options(a, b, 31) == reference.cross_join(a, b, 31)
