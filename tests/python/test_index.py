"""The Index's checks and messages (each refused call leaves it answering as
before), its ids and the arguments it accepts. Its answers are checked against
the reference in test_properties.py, its access rules in test_concurrency.py,
its constructor's checks in test_entry_points.py."""

from __future__ import annotations

import mmap
import sys

import numpy as np
import pytest

import support
from brimel_native import _brimel_native as m
from test_entry_points import NOT_ARRAY, c

WIDE_ROW = support.random_codes(1, 128, seed=8)[0]
ROW_CONTIGUOUS = "row must be C-contiguous; pass np.ascontiguousarray(row)"
BATCH_CONTIGUOUS = "batch must be C-contiguous; pass np.ascontiguousarray(batch)"
BATCH_SHAPE = "batch must be 2-D with shape[1] == d_bytes (8), got shape {}"

# (method, arguments, exception, text)
INDEX_CASES = [
    ("add", (WIDE_ROW[::2],), ValueError, ROW_CONTIGUOUS),
    ("add", (WIDE_ROW[:7],), ValueError, "row length 7 != d_bytes 8"),
    ("add", (WIDE_ROW[:8].reshape(1, 8),), TypeError, NOT_ARRAY.format("row", "ndarray")),
    ("add", ("row",), TypeError, NOT_ARRAY.format("row", "str")),
    ("add", (), TypeError, "Index.add() missing 1 required positional argument: 'row'"),
    ("query", (WIDE_ROW[::2],), ValueError, "row must be C-contiguous"),
    ("query", (WIDE_ROW[:9],), ValueError, "row length 9 != d_bytes 8"),
    ("query", (WIDE_ROW[:8].view(np.int8),), TypeError, NOT_ARRAY.format("row", "ndarray")),
    ("add_batch", (WIDE_ROW[:64].reshape(8, 8).T,), ValueError, BATCH_CONTIGUOUS),
    ("add_batch", (WIDE_ROW[:96].reshape(3, 32)[:, :8],), ValueError, BATCH_CONTIGUOUS),
    ("add_batch", (WIDE_ROW[:27].reshape(3, 9),), ValueError, BATCH_SHAPE.format("[3, 9]")),
    ("add_batch", (WIDE_ROW[:0].reshape(0, 4),), ValueError, BATCH_SHAPE.format("[0, 4]")),
    ("add_batch", (WIDE_ROW[:8],), TypeError, NOT_ARRAY.format("batch", "ndarray")),
]


@pytest.mark.parametrize("method, args, error, text", INDEX_CASES)
def test_refused_calls_leave_it_answering(method, args, error, text):
    stored, _, _ = support.planted(200, 8, 3, seed=5)
    index = m.Index(8, 3)
    index.add_batch(stored)
    before = [index.query(q) for q in stored[:40]], sys.getrefcount(WIDE_ROW)
    with pytest.raises(error) as caught:
        getattr(index, method)(*args)
    assert type(caught.value) is error and str(caught.value) == text
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
def test_empty_index_with_huge_k_takes_no_memory():
    """2**25 one-bit chunks: their plan and tables took 2 GB before a row was
    stored. Now they are made with the first row."""
    support.run_script(
        """
        limit_address_space(256)
        index = m.Index(2**22, 2**25 - 1)
        row = np.zeros(2**22, np.uint8)
        assert (index.k, index.d_bytes, len(index), index.query(row)) == (2**25 - 1, 2**22, 0, [])
        """
    )
