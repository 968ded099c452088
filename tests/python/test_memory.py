"""Memory: 10^4 calls of every entry, on success and on each error path of
test_entry_points and test_index, leave Python's block count, the native heap
and the arguments' reference counts where they were; running out of native
memory raises MemoryError and the next call works.

Under AddressSanitizer (memory held in quarantine, Python allocating with
malloc) only the reference counts are checked.
"""

from __future__ import annotations

import ctypes
import gc
import subprocess
import sys

import numpy as np
import pytest

import catalog
import support
import test_entry_points
import test_index
from brimel_native import _brimel_native as m

CALLS = 500 if support.SANITIZED else 10_000
_LIBC = ctypes.CDLL(None)
_FIELDS = [
    "arena",
    "ordblks",
    "smblks",
    "hblks",
    "hblkhd",
    "usmblks",
    "fsmblks",
    "uordblks",
    "fordblks",
    "keepcost",
]
_MALLINFO = getattr(_LIBC, "mallinfo2", None)  # glibc 2.33+
if _MALLINFO is not None:
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
SUCCESS = [(j.name, (CODES, 3) if j.kind == "self" else (CODES, CODES[:40], 3)) for j in catalog.JOINS]
CASES = [(name, args) for name, args, _, _ in test_entry_points.JOIN_CASES] + SUCCESS


@pytest.mark.parametrize("name, args", CASES, ids=[c[0] for c in CASES])
def test_join_calls_leak_nothing(name, args):
    function = getattr(m, name)
    assert_no_growth(lambda: function(*args), *[a for a in args if isinstance(a, np.ndarray)])


def lifecycle():  # construct, fill, read, query, free
    index = m.Index(8, 3)
    index.add(CODES[0])
    index.add_batch(CODES[:5])
    return index.query(CODES[0]), index.k, index.n, index.d_bytes, len(index)


INDEX_CALLS = [lambda ix: lifecycle(), lambda ix: ix.query(CODES[0])]
INDEX_CALLS += [lambda ix, a=a, k=k: m.Index(*a, **k) for a, k, _, _ in test_index.INDEX_NEW_CASES]
INDEX_CALLS += [call for call, _, _ in test_index.INDEX_CASES]


@pytest.mark.parametrize("call", INDEX_CALLS)
def test_index_calls_leak_nothing(call):
    index = m.Index(8, 3)
    index.add_batch(CODES)
    before = index.query(CODES[0])
    assert_no_growth(lambda: call(index), CODES, index, test_index.WIDE_ROW)
    assert index.n == len(CODES) and index.query(CODES[0]) == before


OUT_OF_MEMORY = """
import resource, sys
import numpy as np
from brimel_native import _brimel_native as m
f = getattr(m, sys.argv[1])
call = (lambda a, k: f(a, k)) if sys.argv[2] == "self" else (lambda a, k: f(a, a, k))
small = np.zeros((100, 8), dtype=np.uint8)
expected = call(small, 3)  # also starts the worker pool before the limit
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.RLIM_INFINITY))  # about 1 GB more
huge = np.zeros((60000, 8), dtype=np.uint8)  # 1.8e9 candidates per chunk
for attempt in range(3):
    try:
        call(huge, 3)
        sys.exit("no MemoryError")
    except MemoryError:
        pass
    assert sys.getrefcount(huge) == 2 and call(small, 3) == expected
print("ok")
"""


@pytest.mark.skipif(support.SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer")
@pytest.mark.parametrize("join", catalog.JOINS, ids=str)
def test_memory_error_then_next_call_works(join):
    done = subprocess.run(
        [sys.executable, "-c", OUT_OF_MEMORY, join.name, join.kind],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr
