"""Repeated calls leak nothing: 10^4 calls of every function and Index member, on
success and on each error path, leave Python's block count, the native heap,
the process RSS and the arguments' reference counts where they were.

Three measures, from fine to coarse: sys.getallocatedblocks() (Python objects:
a leaked tuple, int or exception), glibc's mallinfo2() bytes in use (native
allocations: a leaked result vector or table) and the resident set size.
Under AddressSanitizer (BRIMEL_SANITIZED set) memory is held in quarantine and
Python allocates with malloc, so only the reference counts are checked there.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import catalog
import support

CALLS = 10_000
SANITIZED = support.SANITIZED
# Allowed growth over CALLS calls: far below one leaked object or allocation per
# call, far above the noise of free lists and malloc's per-thread caches.
MAX_BLOCKS = 200
MAX_NATIVE_BYTES = 96 * 1024
MAX_RSS_BYTES = 8 << 20


_FIELDS = ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
           "fordblks", "keepcost")


def _mallinfo():
    """glibc's mallinfo2 (2.33+), else mallinfo, whose int fields are enough for
    the differences measured here."""
    libc = ctypes.CDLL(None)
    for name, field in (("mallinfo2", ctypes.c_size_t), ("mallinfo", ctypes.c_int)):
        if hasattr(libc, name):
            function = getattr(libc, name)
            function.restype = type("MallInfo", (ctypes.Structure,), {"_fields_": [(f, field) for f in _FIELDS]})
            return function
    return None


_MALLINFO = _mallinfo()


def native_bytes_in_use() -> int:
    if _MALLINFO is None:
        return 0
    info = _MALLINFO()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot():
    gc.collect()
    return sys.getallocatedblocks(), native_bytes_in_use(), rss_bytes()


def assert_no_growth(call, *watched, calls=CALLS):
    """Runs `call` (which may raise) `calls` times after a warm-up and checks the
    three measures and the reference counts of `watched`."""
    calls = 500 if SANITIZED else calls

    def repeat(times):
        for _ in range(times):
            try:
                call()
            except Exception:  # noqa: BLE001 - error paths are what some loops measure
                pass
            except BaseException as failure:  # PanicException derives from BaseException
                if type(failure).__name__ != "PanicException":
                    raise

    repeat(calls // 10)
    refs = [sys.getrefcount(o) for o in watched]
    before = snapshot()
    repeat(calls)
    after = snapshot()
    assert [sys.getrefcount(o) for o in watched] == refs
    if SANITIZED:
        return
    blocks, native, rss = (b - a for a, b in zip(before, after))
    assert blocks < MAX_BLOCKS, f"{blocks} Python blocks more after {calls} calls"
    assert native < MAX_NATIVE_BYTES, f"{native} native bytes more after {calls} calls"
    assert rss < MAX_RSS_BYTES, f"RSS grew by {rss} bytes after {calls} calls"


CODES = support.planted_codes(64, 8, 3, seed=11)
OTHER = support.planted_codes(48, 8, 3, seed=12)
FORTRAN = np.asfortranarray(CODES)
INT8 = CODES.astype(np.int8)
WIDER = support.random_codes(4, 9)


def first_rejected_k(join, d_bytes):
    return join.ks(d_bytes)[-1] + 1


def join_calls(join):
    """(id, call arguments) for success and each error path of `join`."""
    k_bad = first_rejected_k(join, CODES.shape[1])
    if join.kind == "self":
        cases = {
            "success": (CODES, 3),
            "a-not-an-array": (CODES.tolist(), 3),
            "a-int8": (INT8, 3),
            "k-float": (CODES, 1.5),
            "k-negative": (CODES, -1),
            "k-missing": (CODES,),
            "not-contiguous": (FORTRAN, 0),
            "k-too-large": (CODES, k_bad),
        }
    else:
        cases = {
            "success": (CODES, OTHER, 3),
            "same-array": (CODES, CODES, 3),
            "a-not-an-array": (CODES.tolist(), OTHER, 3),
            "b-int8": (CODES, INT8, 3),  # a is taken, then released
            "k-float": (CODES, OTHER, 1.5),
            "k-negative": (CODES, OTHER, -1),
            "k-missing": (CODES, OTHER),
            "widths-differ": (CODES, WIDER, 0),
            "not-contiguous": (CODES, FORTRAN, 0),
            "k-too-large": (CODES, OTHER, k_bad),
        }
    if join.panic_case is not None:
        shape, k = join.panic_case
        zeros = np.zeros(shape, np.uint8)
        cases["engine-refuses"] = (zeros, k) if join.kind == "self" else (zeros, zeros, k)
    return cases


JOIN_CASES = [(join, name) for join in catalog.JOINS for name in join_calls(join)]


@pytest.mark.parametrize("join, case", JOIN_CASES, ids=[f"{j}-{c}" for j, c in JOIN_CASES])
def test_join_calls_leak_nothing(join, case):
    function = join.function()
    arguments = join_calls(join)[case]
    arrays = [a for a in arguments if isinstance(a, np.ndarray)]  # small ints are shared
    assert_no_growth(lambda: function(*arguments), *arrays)


ROW = CODES[0].copy()
BATCH = CODES[:5].copy()


def index_calls(Index):
    """(id, call) for every Index member, on success and on each error path;
    the calls on `full` must leave it unchanged."""
    full = Index(8, 3)
    full.add_batch(CODES)

    def lifecycle():  # construct, fill, read, query, free
        index = Index(8, 3)
        index.add(ROW)
        index.add_batch(BATCH)
        index.add_batch(BATCH[:0])
        index.query(ROW)
        return index.k, index.n, index.d_bytes, len(index)

    strided = CODES[:2].reshape(-1)[::2]
    return full, {
        "lifecycle": lifecycle,
        "query": lambda: full.query(ROW),
        "properties": lambda: (full.k, full.n, full.d_bytes, len(full)),
        "new-d_bytes-zero": lambda: Index(0, 0),
        "new-k-too-large": lambda: Index(1, 8),
        "new-chunk-too-wide": lambda: Index(64, 1),
        "new-k-negative": lambda: Index(8, -1),
        "new-not-an-int": lambda: Index("8", 1),
        "add-wrong-length": lambda: full.add(CODES[0, :7]),
        "add-strided": lambda: full.add(strided),
        "add-int8": lambda: full.add(INT8[0]),
        "add-2d": lambda: full.add(BATCH),
        "add_batch-wrong-width": lambda: full.add_batch(WIDER),
        "add_batch-not-contiguous": lambda: full.add_batch(FORTRAN),
        "add_batch-1d": lambda: full.add_batch(ROW),
        "query-wrong-length": lambda: full.query(CODES[0, :7]),
        "query-strided": lambda: full.query(strided),
        "query-list": lambda: full.query(ROW.tolist()),
        "set-property": lambda: setattr(full, "k", 1),
    }


INDEX_CASES = [
    "lifecycle", "query", "properties", "new-d_bytes-zero", "new-k-too-large", "new-chunk-too-wide",
    "new-k-negative", "new-not-an-int", "add-wrong-length", "add-strided", "add-int8", "add-2d",
    "add_batch-wrong-width", "add_batch-not-contiguous", "add_batch-1d", "query-wrong-length",
    "query-strided", "query-list", "set-property",
]


@pytest.mark.parametrize("case", INDEX_CASES)
def test_index_calls_leak_nothing(case):
    Index = catalog.index_class()
    full, calls = index_calls(Index)
    before = full.query(ROW)
    assert_no_growth(calls[case], ROW, BATCH, CODES, FORTRAN, full)
    assert full.n == len(CODES) and full.query(ROW) == before
