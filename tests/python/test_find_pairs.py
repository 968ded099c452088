"""find_pairs and explain: any k below the code width, array results, the planner's view."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import brimel_native
import reference
import support
from brimel_native import Pairs, explain, find_pairs


def triples(pairs: Pairs) -> list[tuple[int, int, int]]:
    return list(zip(pairs.i.tolist(), pairs.j.tolist(), pairs.distance.tolist()))


@given(
    d_bytes=st.integers(1, 40),
    data=st.data(),
    n=st.integers(0, 300),
    cross=st.booleans(),
    flavour=st.sampled_from(support.FLAVOURS),
    seed=st.integers(0, 2**32 - 1),
)
def test_equals_brute_force_for_every_k(d_bytes, data, n, cross, flavour, seed):
    k = data.draw(
        st.one_of(st.sampled_from([0, 8 * d_bytes - 1]), st.integers(0, 8 * d_bytes - 1)), label="k"
    )
    codes, _, _ = support.planted(n + (n // 2 + 1 if cross else 0), d_bytes, k, flavour, seed)
    if cross:  # pairs planted within a, within b and across
        a, b = codes[:n], codes[n:]
        expected = reference.cross_join(a, b, k)
    else:
        a, b = codes, None
        expected = reference.self_join(a, k)
    found = find_pairs(a, k, b)
    assert triples(found) == expected
    assert found.i.dtype == found.j.dtype == np.uint32 and found.distance.dtype == np.uint16


@pytest.mark.parametrize("case", ["flood", "duplicates", "skewed"])
def test_heavy_and_skewed_inputs(case):
    # Thousands of rows in one part value (every plan's groups are one tile
    # or more), exact duplicate clusters, and bits that are mostly 0.
    rng = np.random.default_rng(7)
    # 12,000 rows: past the size below which the scan runs unplanned.
    codes = support.planted(12000, 8, 4, seed=3)[0]
    if case == "flood":
        codes[:, :5] = 0x5A
    elif case == "duplicates":
        codes[::20] = codes[1]
    else:
        codes &= rng.integers(0, 256, codes.shape, dtype=np.uint8) & rng.integers(
            0, 256, codes.shape, dtype=np.uint8
        )
    from brimel_native import _brimel_pairs

    for k in (0, 3, 9) if case == "duplicates" else (0, 3):
        expected = reference.self_join(codes, k)
        assert triples(find_pairs(codes, k)) == expected, (case, k)
        assert triples(Pairs(*_brimel_pairs.scan(codes, None, k)[:3])) == expected, (case, k)


def test_explain_names_the_plan_that_runs():
    codes = support.planted(20000, 8, 3, seed=1)[0]
    plan = explain(codes, 3)
    assert plan["plan"] in plan["options"]
    assert [o["plan"] for o in plan["options"]][-1] == "scan"
    for option in plan["options"]:
        parts = option["parts"]
        # Every plan finds every pair: thresholds plus one per part exceed k.
        assert option["plan"] == "scan" or sum(p["threshold"] + 1 for p in parts) > 3
        assert option["estimated_cost_ns"] > 0 and option["estimated_candidates"] >= 0
    assert plan["plan"]["plan"] != "scan"  # random 64-bit codes at k = 3: parts beat the scan
    assert explain(codes, 3) == plan
    ran = explain(codes, 3, run=True)["run"]
    assert ran["plan"] == plan["plan"]["plan"] and len(ran["parts"]) == len(plan["plan"]["parts"])
    assert ran["pairs"] == find_pairs(codes, 3).i.size == sum(p["recorded"] for p in ran["parts"])
    assert ran["verified"] == sum(p["verified"] for p in ran["parts"]) >= ran["pairs"]
    flood = np.zeros((20000, 8), np.uint8)
    assert explain(flood, 3)["plan"]["plan"] == "scan"


def test_input_errors_and_conversions():
    codes = support.random_codes(10, 8)
    with pytest.raises(ValueError, match=r"^k \(64\) must be >= 0 and below the code width in bits \(64\)$"):
        find_pairs(codes, 64)
    with pytest.raises(ValueError, match="below the code width"):
        find_pairs(codes, -1)
    with pytest.raises(TypeError, match="dtype uint8"):
        find_pairs(codes.astype(np.int16), 1)
    with pytest.raises(TypeError, match="numpy.ndarray"):
        find_pairs(codes.tolist(), 1)
    with pytest.raises(ValueError, match="2-D"):
        find_pairs(codes[0], 1)
    with pytest.raises(TypeError, match="k must be an int"):
        explain(codes, 1.0)
    with pytest.raises(ValueError, match=r"same code width \(shape\[1\]\): 8 != 4"):
        find_pairs(codes, 1, codes[:, :4])
    # Non-contiguous input is copied, not refused; C-contiguous input is read in place.
    strided = np.asfortranarray(codes)
    assert triples(find_pairs(strided, 20, codes[::2])) == reference.cross_join(codes, codes[::2], 20)
    assert triples(find_pairs(codes[:0], 3)) == [] and triples(find_pairs(codes[:1], 3)) == []


def test_native_entry_checks_on_its_own():
    from brimel_native import _brimel_pairs

    codes = support.random_codes(4, 8)
    with pytest.raises(ValueError, match=r"^k \(64\) must be below the code width in bits \(64\)$"):
        _brimel_pairs.pairs(codes, None, 64)
    with pytest.raises(ValueError, match="C-contiguous"):
        _brimel_pairs.pairs(np.asfortranarray(codes), None, 1)
    with pytest.raises(TypeError, match="cannot be converted"):
        _brimel_pairs.explain(codes, codes.astype(np.int8), 1)


def test_releases_the_lock():
    codes = support.random_codes(40000, 8, seed=2)
    codes[:, :4] = 0  # every part shared: the planner scans 8e8 pairs
    assert support.releases_lock(lambda: find_pairs(codes, 3))
    assert brimel_native.find_pairs is find_pairs
