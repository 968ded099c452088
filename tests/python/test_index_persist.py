"""The Index's file, its pickles and query_batch: a restored index answers as
the saved one, query_batch as one query per row and as the reference, and no
damaged file or state is ever taken for an index."""

from __future__ import annotations

import copy
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
import support
from brimel_native import _brimel_native as m
from test_entry_points import OVERFLOW


def filled(n, d_bytes, k, seed=0):
    stored, _, _ = support.planted(n, d_bytes, k, seed=seed)
    index = m.Index(d_bytes, k)
    index.add_batch(stored)
    rng = np.random.default_rng(seed)
    queries = [support.flip(stored[r], int(rng.integers(0, k + 2)), rng) for r in range(0, n, 3)]
    return index, stored, np.array(queries, np.uint8).reshape(-1, d_bytes)


def as_triples(pairs):
    return list(zip(pairs.i.tolist(), pairs.j.tolist(), pairs.distance.tolist()))


def restored(index, how, tmp_path):
    if how == "file":
        index.save(tmp_path / "x.idx")  # os.PathLike
        return m.Index.load(str(tmp_path / "x.idx"))
    return pickle.loads(pickle.dumps(index)) if how == "pickle" else copy.deepcopy(index)


@pytest.mark.parametrize("how", ["file", "pickle", "deepcopy"])
@pytest.mark.parametrize("n, d_bytes, k", [(3000, 8, 3), (400, 32, 31), (0, 2, 15)])
def test_restored_index_answers_alike(how, n, d_bytes, k, tmp_path):
    index, stored, queries = filled(n, d_bytes, k)
    again = restored(index, how, tmp_path)
    assert repr(again) == repr(index) == f"Index(d_bytes={d_bytes}, k={k}, n={n})"
    assert as_triples(again.query_batch(queries)) == as_triples(index.query_batch(queries))
    row = support.random_codes(1, d_bytes, seed=5)[0]
    assert again.add(row) == n and (n, 0) in again.query(row)  # it grows on from the saved rows
    if how == "file":
        assert (tmp_path / "x.idx").stat().st_size == 40 + n * d_bytes


@pytest.mark.parametrize("n, d_bytes, k", [(2000, 8, 3), (300, 32, 31), (500, 3, 20)])
def test_query_batch_equals_queries_and_reference(n, d_bytes, k):
    index, stored, queries = filled(n, d_bytes, k, seed=n)
    for bound in sorted({0, k // 2, k}):
        got = index.query_batch(queries, bound)
        assert got.i.dtype == got.j.dtype == np.uint32 and got.distance.dtype == np.uint16
        expected = reference.cross_join(queries, stored, bound)
        assert as_triples(got) == expected
        loop = [(q, j, d) for q in range(len(queries)) for j, d in index.query(queries[q]) if d <= bound]
        assert loop == expected


def test_query_batch_same_for_any_pool_size(tmp_path):
    index, _, queries = filled(3000, 8, 3)
    index.save(tmp_path / "x.idx")
    np.save(tmp_path / "q.npy", queries)
    script = (
        "import sys, numpy as np, brimel_native as b; p = sys.argv[1];"
        "r = b.Index.load(p + '/x.idx').query_batch(np.load(p + '/q.npy'));"
        "print(list(zip(r.i.tolist(), r.j.tolist(), r.distance.tolist())))"
    )
    outputs = {
        subprocess.run(
            [sys.executable, "-c", script, str(tmp_path)],
            capture_output=True,
            text=True,
            check=True,
            env={**os.environ, "RAYON_NUM_THREADS": str(workers)},
        ).stdout
        for workers in (1, 3)
    }
    assert outputs == {f"{as_triples(index.query_batch(queries))}\n"}


ROWS = support.random_codes(64, 8, seed=3)
# A header declaring 2^32 - 1 rows of 2^40 bytes, in a 40-byte file.
CRAFTED = (
    b"BRIMELIX" + bytes([1, 0, 0, 0, 3, 0, 0, 0]) + (1 << 40).to_bytes(8, "little") + b"\xff" * 4 + bytes(12)
)
CASES = [
    (
        lambda ix, p: ix.query_batch(ROWS, 4),
        ValueError,
        "Index.query_batch: k (4) must be <= the index's k (3)",
    ),
    (lambda ix, p: ix.query_batch(ROWS, -1), OverflowError, OVERFLOW),
    (
        lambda ix, p: ix.query_batch(ROWS[:, :4].copy()),
        ValueError,
        "rows must be 2-D with shape[1] == d_bytes (8), got shape [64, 4]",
    ),
    (
        lambda ix, p: ix.query_batch(ROWS.T.copy().T),
        ValueError,
        "rows must be C-contiguous; pass np.ascontiguousarray(rows)",
    ),
    (lambda ix, p: ix.save(p / "missing" / "x.idx"), FileNotFoundError, "No such file or directory"),
    (lambda ix, p: ix.save(p), IsADirectoryError, "Is a directory"),
    (
        lambda ix, p: ix.save(1),
        TypeError,
        "argument 'path': expected str, bytes or os.PathLike object, not int",
    ),
    (
        lambda ix, p: ix.__setstate__(m.Index(8, 3).__reduce__()[2]),
        ValueError,
        "Index.__setstate__: this Index already holds 64 rows; a state is only restored into a new, empty Index",
    ),
    (
        lambda ix, p: m.Index(8, 2).__setstate__(ix.__reduce__()[2]),
        ValueError,
        "Index.__setstate__: the state holds an index of d_bytes 8, k 3; this Index has d_bytes 8, k 2",
    ),
    (
        lambda ix, p: m.Index(8, 3).__setstate__("x"),
        TypeError,
        "argument 'state': 'str' object cannot be converted to 'PyBytes'",
    ),
    (
        lambda ix, p: m.Index(8, 3).__setstate__(CRAFTED),
        ValueError,
        "Index.__setstate__: truncated: the header declares n = 4294967295 rows of d_bytes = 1099511627776 (more than 2^64 bytes)",
    ),
]


@pytest.mark.parametrize("call, error, text", CASES)
def test_refusals(call, error, text, tmp_path):
    index = m.Index(8, 3)
    index.add_batch(ROWS)
    with pytest.raises(error) as caught:
        call(index, tmp_path)
    assert text in str(caught.value)
    assert as_triples(index.query_batch(ROWS)) == reference.cross_join(ROWS, ROWS, 3)


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
