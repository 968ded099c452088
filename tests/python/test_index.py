"""The Index from Python: query_batch, restored copies (file, pickle, deepcopy),
damaged files, and its limits of rows and memory. (Its messages: test_entry_points;
access rules: test_concurrency; tables and answers: the engine tests.)"""

from __future__ import annotations

import copy
import mmap
import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
import support
import brimel_native
from brimel_native import _brimel_native as m


def as_triples(pairs):
    return list(zip(pairs.i.tolist(), pairs.j.tolist(), pairs.distance.tolist()))


@pytest.mark.parametrize("n, d_bytes, k", [(3000, 8, 3), (400, 32, 31), (500, 3, 20), (0, 2, 15)])
def test_query_batch_and_restored_copies_answer_as_the_reference(n, d_bytes, k, tmp_path):
    stored = support.planted(n, d_bytes, k, seed=n)[0]
    index = m.Index(d_bytes, k)
    index.add_batch(stored)
    rng = np.random.default_rng(n)
    queries = [support.flip(stored[r], int(rng.integers(0, k + 2)), rng) for r in range(0, n, 3)]
    queries = np.array(queries, np.uint8).reshape(-1, d_bytes)
    for bound in sorted({0, k // 2, k}):
        got = index.query_batch(queries, bound)
        assert (
            type(got) is brimel_native.Pairs and type(pickle.loads(pickle.dumps(got))) is brimel_native.Pairs
        )
        assert got.i.dtype == got.j.dtype == np.uint32 and got.distance.dtype == np.uint16
        expected = reference.cross_join(queries, stored, bound)
        assert as_triples(got) == expected
    index.save(tmp_path / "x.idx")  # os.PathLike
    row = support.random_codes(1, d_bytes, seed=5)[0]
    for again in (
        m.Index.load(str(tmp_path / "x.idx")),
        pickle.loads(pickle.dumps(index)),
        copy.deepcopy(index),
    ):
        assert as_triples(again.query_batch(queries)) == expected
        assert again.add(row) == n and (n, 0) in again.query(row)  # it grows on from the saved rows


SAVED = m.Index(5, 9)
SAVED.add_batch(support.random_codes(30, 5, seed=4))
STATE = SAVED.__reduce__()[2]


@given(
    cut=st.integers(0, len(STATE)),
    flips=st.lists(st.tuples(st.integers(0, len(STATE) - 1), st.integers(1, 255)), max_size=3),
    through_file=st.booleans(),
)
def test_every_damaged_file_is_refused(cut, flips, through_file, tmp_path_factory):
    damaged = bytearray(STATE)
    for position, bits in flips:
        damaged[position] ^= bits
    damaged = bytes(damaged[:cut])
    if damaged == STATE:
        return
    with pytest.raises(ValueError):
        if through_file:
            path = tmp_path_factory.mktemp("damaged") / "x.idx"
            path.write_bytes(damaged)
            m.Index.load(path)
        else:
            m.Index(5, 9).__setstate__(damaged)


def test_full_index_refuses_a_batch_before_reading_it():
    # 2^32 - 1 one-byte rows in a mapping without access rights: any read would crash.
    region = mmap.mmap(-1, 2**32, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, prot=0)  # PROT_NONE
    rows = np.frombuffer(region, np.uint8)[: 2**32 - 1].reshape(-1, 1)
    index = m.Index(1, 0)
    index.add(np.array([0x5A], np.uint8))
    with pytest.raises(
        OverflowError,
        match=r"^Index full: adding 4294967295 rows to 1 stored would exceed the "
        r"limit of 4294967295 rows \(ids are unsigned 32-bit\)$",
    ):
        index.add_batch(rows)
    assert index.n == 1 and index.query(np.array([0x5A], np.uint8)) == [(0, 0)]


@pytest.mark.skipif(support.SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
def test_few_rows_with_a_huge_k_cost_what_they_hold(tmp_path):
    """Plans and tables are made for segments of many rows only: 2**25 one-bit
    chunks took 2 GB before a row was stored, one row of 64 KiB at k = 2**19 - 1
    took 418 MB, and so did loading a 260 KB file of 4 such rows."""
    support.run_script(
        f"""
        limit_address_space(256)
        index = m.Index(2**22, 2**25 - 1)
        row = np.zeros(2**22, np.uint8)
        assert (index.k, index.d_bytes, len(index), index.query(row)) == (2**25 - 1, 2**22, 0, [])
        wide = m.Index(2**16, 2**19 - 1)
        rows = np.random.default_rng(0).integers(0, 256, (4, 2**16), dtype=np.uint8)
        assert [wide.add(r) for r in rows] == [0, 1, 2, 3] and wide.query(rows[1])[1] == (1, 0)
        wide.save({str(tmp_path / "wide.idx")!r})
        assert m.Index.load({str(tmp_path / "wide.idx")!r}).query(rows[2])[2] == (2, 0)
        """
    )


def test_index_refuses_a_width_whose_bit_count_wraps():
    with pytest.raises(ValueError, match=r"^Index: d_bytes \(2305843009213693953\) is too large"):
        m.Index(2**61 + 1, 0)
    with pytest.raises(ValueError, match=r"^Index: k \(5\) must be < 8\*d_bytes \(0\)$"):
        m.Index(2**61, 5)
