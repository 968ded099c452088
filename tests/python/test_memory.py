"""Memory: thousands of calls of every entry, succeeding or refused as in
test_entry_points, leave Python's blocks, the native heap and the arguments'
reference counts as they were (under the sanitizers, the reference counts only).
Running out of memory raises MemoryError, and the next call works. A few rows
cost about what their scan costs, whatever k."""

from __future__ import annotations

import copy
import ctypes
import gc
import sys

import numpy as np
import pytest

import catalog
import support
import test_entry_points
from brimel_native import _brimel_native as m
from brimel_native import find_groups, find_pairs

# 4,000 calls: a leak of one Python object or one malloc chunk (32 bytes or
# more) per call passes the thresholds below; under the sanitizers, where only
# reference counts are checked, a hundred.
CALLS = 100 if support.SANITIZED else 4_000
needs_address_space_limit = pytest.mark.skipif(
    support.SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer"
)
_MALLINFO = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc 2.33+
if _MALLINFO is not None:
    _FIELDS = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    _MALLINFO.restype = type(
        "MallInfo2", (ctypes.Structure,), {"_fields_": [(f, ctypes.c_size_t) for f in _FIELDS]}
    )


def measures():
    """Python blocks and native heap bytes in use (0 without mallinfo2)."""
    gc.collect()
    info = _MALLINFO() if _MALLINFO else None
    return sys.getallocatedblocks(), (info.uordblks + info.hblkhd) if info else 0


def assert_no_growth(call, *watched):
    def repeat(times):
        for _ in range(times):
            try:
                call()
            except BaseException as failure:  # noqa: BLE001 - error paths are what is measured
                if not isinstance(failure, (Exception, test_entry_points.PANIC)):
                    raise

    repeat(CALLS // 10)
    refs, before = [sys.getrefcount(o) for o in watched], measures()
    repeat(CALLS)
    after = measures()
    assert [sys.getrefcount(o) for o in watched] == refs
    # Far below one leaked object or allocation per call, far above the noise of
    # free lists and malloc's per-thread caches.
    if not support.SANITIZED:
        assert after[0] - before[0] < 200 and after[1] - before[1] < 96 * 1024, (before, after)


CODES = support.random_codes(64, 8, seed=11)
INDEX = m.Index(8, 3)
INDEX.add_batch(CODES)


def lifecycle():  # construct, fill, read, query, free
    index = m.Index(8, 3)
    index.add(CODES[0])
    index.add_batch(CODES[:5])
    return index.query(CODES[0]), index.k, index.n, index.d_bytes, len(index)


SUCCESS = [(j.function(), (CODES, 3) if j.kind == "self" else (CODES, CODES[:40], 3)) for j in catalog.JOINS]
SUCCESS += [(lifecycle, ()), (INDEX.query, (CODES[0],)), (INDEX.query_batch, (CODES,))]
SUCCESS += [(find_pairs, (CODES, 3)), (find_groups, (CODES, 3)), (copy.deepcopy, (INDEX,))]
CASES = [(function, args) for function, args, _, _ in test_entry_points.CASES] + SUCCESS


@pytest.mark.parametrize("function, args", CASES, ids=[test_entry_points.name(c[0]) for c in CASES])
def test_calls_leak_nothing(function, args):
    assert_no_growth(lambda: function(*args), INDEX, *[a for a in args if isinstance(a, np.ndarray)])


# (setup defining search(codes), the codes too large to search, MiB left): every
# join's native records (1.8e9 candidates per chunk), and result lists that do
# not fit where their native records do (about 10 times larger). A list that
# did not fit raised PanicException (a BaseException) with the error on stderr.
INDEX_WITH_ONE_KEY = "index = m.Index(8, 0)\nindex.add_batch(np.zeros((3_000_000, 8), np.uint8))\n"
OUT_OF_MEMORY = [
    *[
        (f"search = lambda a: catalog.JOINS[{i}](a, a, 3)", "(60000, 8)", 1024)
        for i in range(len(catalog.JOINS))
    ],
    ("search = lambda a: m.find_pairs_self(a, 1)", "(3000, 8)", 480),  # 4.5 million pairs
    (INDEX_WITH_ONE_KEY + "search = lambda a: index.query(a[0])", "(1, 8)", 100),
]


@needs_address_space_limit
@pytest.mark.parametrize(
    "setup, shape, margin_mib", OUT_OF_MEMORY, ids=[*map(str, catalog.JOINS), "result list", "hit list"]
)
def test_out_of_memory_is_memory_error_and_the_next_call_works(setup, shape, margin_mib):
    out = support.run_script(
        setup
        + f"""
small = np.arange(16, dtype=np.uint8).reshape(2, 8)
expected = search(small)  # also starts the worker pool before the limit
limit_address_space({margin_mib})
huge = np.zeros({shape}, np.uint8)
for attempt in range(3):
    try:
        search(huge)
        sys.exit("no MemoryError")
    except MemoryError:
        pass
    assert sys.getrefcount(huge) == 2 and search(small) == expected
"""
    )
    assert out.stderr == ""


@needs_address_space_limit
@pytest.mark.parametrize("margin_mib", [24, 40, 56, 80])
def test_pool_that_cannot_start_its_threads_shrinks(margin_mib):
    """16 workers asked for with little address space left: a worker that
    could not start ended the process (std::terminate from a pool thread, exit
    134) or raised PanicException. Now the pool starts fewer workers; the join
    gives its result or MemoryError."""
    out = support.run_script(
        f"""
        a = np.random.default_rng(0).integers(0, 256, (20000, 8), dtype=np.uint8)
        a[1] = a[0]
        limit_address_space({margin_mib})
        try:
            print(m.find_pairs_self(a, 1))
        except MemoryError:
            print("MemoryError")
        """,
        RAYON_NUM_THREADS="16",
    )
    assert out.stdout.strip() in ("[(0, 1, 0)]", "MemoryError")


# (codes made before the limit, the call, its result): few rows and a huge k ran
# out of the address space left (tiles of 2048 rows of 1 MiB codes; the k + 1
# chunks of the bit plans, made and estimated before the scan was chosen), or
# took minutes (a row of 8 GiB: 2^32 chunks made before the row count was read).
THREE_WIDE_ROWS = "a, k = support.random_codes(3, 1 << 18), (1 << 21) - 1"
ONE_HUGE_ROW = "a, k = np.zeros((1, 2**33), np.uint8), 2**32 - 1"
TINY_INPUTS = [
    (THREE_WIDE_ROWS, "bn.find_pairs(a, k)", "reference.self_join(a, k)"),
    (
        "a, k = support.random_codes(3, 1 << 20), (1 << 23) - 1",
        "bn.find_pairs(a, k)",
        "reference.self_join(a, k)",
    ),
    (THREE_WIDE_ROWS, "m.find_pairs_self_bit(a, k)", "reference.self_join(a, k)"),
    (THREE_WIDE_ROWS, "m.find_pairs_cross_bit(a, a[:1], k // 2)", "reference.cross_join(a, a[:1], k // 2)"),
    (ONE_HUGE_ROW, "m.find_pairs_self_bit(a, k)", "[]"),
    (ONE_HUGE_ROW, "m.find_pairs_cross_bit(a[:0], a, k)", "[]"),
]


@needs_address_space_limit
@pytest.mark.parametrize(
    "setup, call, expected", TINY_INPUTS, ids=[f"{c[1]} {c[0][-12:]}" for c in TINY_INPUTS]
)
def test_few_rows_with_any_k_cost_about_their_scan(setup, call, expected):
    support.run_script(
        f"""
        import brimel_native as bn, reference
        {setup}
        expected = {expected}
        bn.find_pairs(a[:2, :8], 3)  # the worker pool starts before the limit
        limit_address_space(300)
        found = {call}
        if hasattr(found, "distance"):
            found = list(zip(found.i.tolist(), found.j.tolist(), found.distance.tolist()))
        assert found == expected, found
        """
    )
