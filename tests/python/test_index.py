"""The Index's checks and messages (each refused call leaves it answering as
before), its ids and the arguments it accepts. Its answers are checked against
the reference in test_properties.py, its access rules in test_concurrency.py."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import support
from brimel_native import _brimel_native as m
from test_entry_points import NOT_ARRAY, OVERFLOW, PANIC, c

INDEX_NEW_CASES = [
    ((0, 0), {}, ValueError, "Index: d_bytes must be >= 1"),
    ((1, 8), {}, ValueError, "Index: k (8) must be < 8*d_bytes (8)"),
    ((4, 100), {}, ValueError, "Index: k (100) must be < 8*d_bytes (32)"),
    ((64, 1), {}, PANIC, "Index: bit chunk wider than 128 bits"),
    ((1,), {}, TypeError, "Index.__new__() missing 1 required positional argument: 'k'"),
    ((1, 2, 3), {}, TypeError, "Index.__new__() takes 2 positional arguments but 3 were given"),
    ((1, 2), {"d_bytes": 1}, TypeError, "Index.__new__() got multiple values for argument 'd_bytes'"),
    ((0, -1), {}, OverflowError, OVERFLOW),
    ((-1, 0), {}, OverflowError, "can't convert negative int to unsigned"),
    ((8, 2**32), {}, OverflowError, OVERFLOW),
    ((1.0, 1), {}, TypeError, "argument 'd_bytes': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("args, kwargs, error, text", INDEX_NEW_CASES)
def test_index_constructor_errors(args, kwargs, error, text):
    with pytest.raises(error) as caught:
        m.Index(*args, **kwargs)
    assert type(caught.value) is error and str(caught.value) == text


WIDE_ROW = support.random_codes(1, 128, seed=8)[0]
INDEX_CASES = [
    (
        lambda ix: ix.add(WIDE_ROW[::2]),
        ValueError,
        "row must be C-contiguous; pass np.ascontiguousarray(row)",
    ),
    (lambda ix: ix.add(WIDE_ROW[:7]), ValueError, "row length 7 != d_bytes 8"),
    (lambda ix: ix.add(WIDE_ROW[:8].reshape(1, 8)), TypeError, NOT_ARRAY.format("row", "ndarray")),
    (lambda ix: ix.add("row"), TypeError, NOT_ARRAY.format("row", "str")),
    (lambda ix: ix.add(), TypeError, "Index.add() missing 1 required positional argument: 'row'"),
    (lambda ix: ix.query(WIDE_ROW[::2]), ValueError, "row must be C-contiguous"),
    (lambda ix: ix.query(WIDE_ROW[:9]), ValueError, "row length 9 != d_bytes 8"),
    (lambda ix: ix.query(WIDE_ROW[:8].view(np.int8)), TypeError, NOT_ARRAY.format("row", "ndarray")),
    (
        lambda ix: ix.query(row=WIDE_ROW[:8], k=1),
        TypeError,
        "Index.query() got an unexpected keyword argument 'k'",
    ),
    (
        lambda ix: ix.add_batch(WIDE_ROW[:64].reshape(8, 8).T),
        ValueError,
        "batch must be C-contiguous; pass np.ascontiguousarray(batch)",
    ),
    (
        lambda ix: ix.add_batch(WIDE_ROW[:96].reshape(3, 32)[:, :8]),
        ValueError,
        "batch must be C-contiguous; pass np.ascontiguousarray(batch)",
    ),
    (
        lambda ix: ix.add_batch(WIDE_ROW[:27].reshape(3, 9)),
        ValueError,
        "batch must be 2-D with shape[1] == d_bytes (8), got shape [3, 9]",
    ),
    (
        lambda ix: ix.add_batch(WIDE_ROW[:0].reshape(0, 4)),
        ValueError,
        "batch must be 2-D with shape[1] == d_bytes (8), got shape [0, 4]",
    ),
    (lambda ix: ix.add_batch(WIDE_ROW[:8]), TypeError, NOT_ARRAY.format("batch", "ndarray")),
    (lambda ix: setattr(ix, "k", 7), AttributeError, None),
    (lambda ix: delattr(ix, "n"), AttributeError, None),
]


@pytest.mark.parametrize("call, error, text", INDEX_CASES)
def test_index_errors_leave_it_answering(call, error, text):
    stored, _, _ = support.planted(200, 8, 3, seed=5)
    index = m.Index(8, 3)
    index.add_batch(stored)
    before = [index.query(q) for q in stored[:40]], sys.getrefcount(WIDE_ROW)
    with pytest.raises(error) as caught:
        call(index)
    assert text is None or str(caught.value) == text
    del caught
    assert ([index.query(q) for q in stored[:40]], sys.getrefcount(WIDE_ROW)) == before
    assert (index.k, index.d_bytes, index.n, len(index)) == (3, 8, 200, 200)
    assert index.add(WIDE_ROW[:8]) == 200  # the call's use of the index has ended


def test_ids_and_accepted_arguments():
    index = m.Index(d_bytes=8, k=np.uint32(2))
    assert (index.n, len(index), index.k, index.d_bytes, index.query(c(1, 8)[0])) == (0, 0, 2, 8, [])
    rows = c(9, 8)
    assert (index.add_batch(rows[:5]), index.add(rows[5]), index.add_batch(rows[:0])) == (0, 5, 6)
    frozen = rows.copy()
    frozen.flags.writeable = False
    assert index.add_batch(batch=frozen[6:].view(np.memmap)) == 6
    assert index.add(row=frozen[0]) == 9  # stored twice, found twice
    hits = index.query(row=rows[0])
    assert hits[0] == (0, 0) and hits[-1] == (9, 0) and all(type(x) is int for h in hits for x in h)


def test_full_index_refuses_a_batch_before_reading_it():
    import mmap

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
