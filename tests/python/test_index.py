"""The Index's ids, the arguments it accepts, and its limits: rows and memory.
Its answers are checked against the reference in test_properties.py, its access
rules in test_concurrency.py, its checks and messages in test_entry_points.py."""

from __future__ import annotations

import mmap

import numpy as np
import pytest

import support
from brimel_native import _brimel_native as m
from test_entry_points import c


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
