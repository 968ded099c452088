"""The entry points' checks, as one table: for each bad call, the exception, its
exact text (the first failing check names it, in each function's own order),
and that the Index is left as it was. Then the arguments accepted, and the
module's surface: names, version and signatures."""

from __future__ import annotations

import importlib.metadata
import mmap
import os
import subprocess
import sys
from functools import partial

import numpy as np
import pytest

import catalog
import support
from brimel_native import _brimel_native as m
from brimel_native import _brimel_pairs, explain, find_groups, find_pairs, keep_mask
from brimel_native import from_hex, from_uint64, pack_bits

PANIC = catalog.panic_exception()
CONTIGUOUS_A = "A must be C-contiguous; pass np.ascontiguousarray(A)"
CONTIGUOUS_AB = "A and B must be C-contiguous; pass np.ascontiguousarray(...)"
SAME_WIDTH = "A and B must have the same d_bytes (shape[1])"
BYTE_K = (
    "brimel: k ({}) must be < d_bytes ({}). At k >= d_bytes the byte-aligned chunk brimelhole can "
    "miss pairs. For that regime use faiss.IndexBinaryFlat"
)
SELF_K = BYTE_K + " or a bit-level chunk implementation (not yet shipped)."
CROSS_K = BYTE_K + "."
BIT_K = "brimel: k ({}) must be < 8*d_bytes ({})"
FULL_K = "k ({}) must be < d_bytes ({}) for byte-level path"
INDEX_K = "Index: k ({}) must be < 8*d_bytes ({})"
WIDE = "bit chunk wider than 128 bits"
OVERFLOW = "out of range integral type conversion attempted"
NOT_ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
ZERO_WIDTH = "A has zero-width rows (shape[1] == 0)"
FIND_K = "k ({}) must be >= 0 and below the code width in bits ({})"
NOT_CODES = "a must have {} (one code per row, d_bytes bytes), not {}"
NOT_BYTES = "argument 'state': 'str' object cannot be converted to 'PyBytes'"
FIND_WIDTH = "a and b must have the same code width (shape[1]): 8 != 4"


class Sub(np.ndarray):
    pass


def c(n, d):
    return support.random_codes(n, d, seed=n * 100 + d)


def f(n, d):  # Fortran-ordered
    return np.asfortranarray(c(n, d))


STORED = support.planted(200, 8, 3, seed=5)[0]
INDEX = m.Index(8, 3)
INDEX.add_batch(STORED)
ANSWERS = [INDEX.query(q) for q in STORED[:40]]
ROW = support.random_codes(1, 128, seed=8)[0]
BATCH_CONTIGUOUS = "batch must be C-contiguous; pass np.ascontiguousarray(batch)"
BATCH_SHAPE = "batch must be 2-D with shape[1] == d_bytes (8), got shape {}"
VIEWS = [f(3, 4), c(3, 8)[:, ::2], c(6, 4)[::-1][:3], c(6, 4)[::2], np.broadcast_to(c(1, 4), (3, 4))]
EMPTY_WIDE = np.ndarray((0, 10**12), np.uint8, buffer=bytearray(0))  # NumPy 1.x refuses np.zeros here
SELF = [j.function() for j in catalog.JOINS if j.kind == "self"]
CROSS = [m.find_pairs_cross, m.find_pairs_cross_bit]
self_byte, self_bit, cross_byte, cross_bit = m.find_pairs_self, m.find_pairs_self_bit, *CROSS
full, adaptive = m._find_pairs_self_full_popcount, m.find_pairs_self_adaptive
ROWS_SHAPE = "rows must be 2-D with shape[1] == d_bytes (8), got shape [24, 4]"
ROWS_CONTIGUOUS = "rows must be C-contiguous; pass np.ascontiguousarray(rows)"
NOT_FOUND = "[Errno 2] No such file or directory: '/missing/x.idx'"
SETSTATE = "Index.__setstate__: "
NOT_EMPTY = "this Index already holds 200 rows; a state is only restored into a new, empty Index"
OTHER_K = "the state holds an index of d_bytes 8, k 3; this Index has d_bytes 8, k 2"
# A header declaring 2^32 - 1 rows of 2^40 bytes, in a 40-byte file.
CRAFTED = b"BRIMELIX" + bytes([1, 0, 0, 0, 3, 0, 0, 0]) + (1 << 40).to_bytes(8, "little") + b"\xff" * 4
CRAFTED += bytes(12)
TRUNCATED = (
    "truncated: the header declares n = 4294967295 rows of d_bytes = 1099511627776 "
    "(more than 2^64 bytes), the file has 40 bytes"
)
MISSING = "{}() missing 1 required positional argument: '{}'"
NOT_INT = "argument '{}': '{}' object cannot be interpreted as an integer"
TAKES = "{}() takes 2 positional arguments but 3 were given"
MULTIPLE = "{}() got multiple values for argument '{}'"
MISSING_3 = "find_pairs_cross_bit() missing 3 required positional arguments: 'a', 'b', and 'k'"
UNEXPECTED = "find_pairs_self() got an unexpected keyword argument 'x'"

# (function, arguments, exception, text); PANIC is the engine refusing the search.
CASES = [
    *[(self_byte, (v, 0), ValueError, CONTIGUOUS_A) for v in VIEWS],
    *[(self_bit, (v, 0), ValueError, CONTIGUOUS_A) for v in VIEWS],
    *[(join, (v, 0), ValueError, "A must be C-contiguous") for v in VIEWS for join in (full, adaptive)],
    *[(join, (f(3, 4), -1), OverflowError, OVERFLOW) for join in SELF],
    (self_byte, (c(5, 8), 8), ValueError, SELF_K.format(8, 8)),
    (self_byte, (c(5, 0), 0), ValueError, SELF_K.format(0, 0)),
    (self_byte, (c(0, 3), 2**32 - 1), ValueError, SELF_K.format(2**32 - 1, 3)),
    (self_byte, (f(3, 4), 9), ValueError, CONTIGUOUS_A),
    (self_bit, (c(5, 8), 64), ValueError, BIT_K.format(64, 64)),
    (self_bit, (c(5, 0), 0), ValueError, BIT_K.format(0, 0)),
    (self_bit, (c(5, 64), 1), PANIC, WIDE),
    (self_bit, (c(0, 64), 1), PANIC, WIDE),
    (full, (c(5, 4), 4), ValueError, FULL_K.format(4, 4)),
    (full, (c(5, 0), 0), ValueError, FULL_K.format(0, 0)),
    (full, (c(0, 8), 2**32 - 1), ValueError, FULL_K.format(2**32 - 1, 8)),
    (full, (f(3, 4), 9), ValueError, "A must be C-contiguous"),
    (adaptive, (c(5, 0), 0), ValueError, ZERO_WIDTH),
    (adaptive, (c(0, 0), 0), ValueError, ZERO_WIDTH),
    (adaptive, (c(5, 8), 64), PANIC, BIT_K.format(64, 64)),
    (adaptive, (c(0, 8), 2**32 - 1), PANIC, BIT_K.format(2**32 - 1, 64)),
    (adaptive, (EMPTY_WIDE, 1), PANIC, WIDE),  # no row to sample: the even plan
    (adaptive, (np.full((7, 64), 0x3C, np.uint8), 1), PANIC, WIDE),  # nothing varies
    *[(join, (c(3, 8), f(4, 16), 1), ValueError, SAME_WIDTH) for join in CROSS],
    *[(join, (f(3, 8), c(4, 16), 1), ValueError, SAME_WIDTH) for join in CROSS],
    *[(join, (c(3, 8), c(4, 4), 200), ValueError, SAME_WIDTH) for join in CROSS],
    *[(join, (c(3, 8), f(4, 8), 1), ValueError, CONTIGUOUS_AB) for join in CROSS],
    *[(join, (c(3, 16)[:, ::2], c(4, 8), 1), ValueError, CONTIGUOUS_AB) for join in CROSS],
    *[(join, (c(3, 8), c(8, 8)[::2], 200), ValueError, CONTIGUOUS_AB) for join in CROSS],
    *[(join, (f(3, 8), c(4, 8), -1), OverflowError, OVERFLOW) for join in CROSS],
    *[
        (join, (c(3, 8), c(3, 8).view(np.int8), 1), TypeError, NOT_ARRAY.format("b", "ndarray"))
        for join in CROSS
    ],
    (cross_byte, (c(3, 8).view(np.int8), c(3, 8)[0], 1), TypeError, NOT_ARRAY.format("a", "ndarray")),
    (cross_byte, (c(3, 8), c(4, 8), 8), ValueError, CROSS_K.format(8, 8)),
    (cross_byte, (c(0, 4), c(0, 4), 2**32 - 1), ValueError, CROSS_K.format(2**32 - 1, 4)),
    (cross_byte, (c(3, 0), c(4, 0), 0), ValueError, CROSS_K.format(0, 0)),
    (cross_bit, (c(5, 8), c(5, 8), 64), ValueError, BIT_K.format(64, 64) + "."),
    (cross_bit, (c(5, 64), c(5, 64), 1), PANIC, WIDE),
    # Binding and conversion, shared by every entry.
    (self_byte, (c(4, 8),), TypeError, MISSING.format("find_pairs_self", "k")),
    (partial(self_byte, k=1), (), TypeError, MISSING.format("find_pairs_self", "a")),
    (cross_bit, (), TypeError, MISSING_3),
    (self_byte, (c(4, 8), 1, 2), TypeError, TAKES.format("find_pairs_self")),
    (partial(self_byte, k=2), (c(4, 8), 1), TypeError, MULTIPLE.format("find_pairs_self", "k")),
    (partial(self_byte, k=1, x=2, y=3), (c(4, 8),), TypeError, UNEXPECTED),
    (self_byte, (c(4, 8), 2**32), OverflowError, OVERFLOW),
    (self_byte, (c(4, 8), 2**63), OverflowError, "Python int too large to convert to C long"),
    (self_byte, (c(4, 8), 1.5), TypeError, NOT_INT.format("k", "float")),
    (self_byte, ([[1]], -1), TypeError, NOT_ARRAY.format("a", "list")),  # a before k
    (self_byte, (c(2, 8).view(Sub)[:, None], 1), TypeError, NOT_ARRAY.format("a", "Sub")),
    *[
        (self_byte, (bad, 1), TypeError, NOT_ARRAY.format("a", "ndarray"))
        for bad in [c(2, 8).view(np.int8), np.zeros((2, 8)), np.zeros((2, 8), bool), c(1, 8)[0]]
    ],
    (self_byte, (c(8, 2).reshape(2, 2, 4), 1), TypeError, NOT_ARRAY.format("a", "ndarray")),
    # The Index's constructor.
    (m.Index, (0, 0), ValueError, "Index: d_bytes must be >= 1"),
    (m.Index, (4, 100), ValueError, INDEX_K.format(100, 32)),
    (m.Index, (64, 1), PANIC, "Index: " + WIDE),
    (m.Index, (1,), TypeError, MISSING.format("Index.__new__", "k")),
    (m.Index, (1, 2, 3), TypeError, TAKES.format("Index.__new__")),
    (partial(m.Index, d_bytes=1), (1, 2), TypeError, MULTIPLE.format("Index.__new__", "d_bytes")),
    (m.Index, (0, -1), OverflowError, OVERFLOW),
    (m.Index, (-1, 0), OverflowError, "can't convert negative int to unsigned"),
    (m.Index, (1.0, 1), TypeError, NOT_INT.format("d_bytes", "float")),
    # The Index's methods, on INDEX (checked unchanged after each).
    (INDEX.add, (ROW[::2],), ValueError, "row must be C-contiguous; pass np.ascontiguousarray(row)"),
    (INDEX.add, (ROW[:7],), ValueError, "row length 7 != d_bytes 8"),
    (INDEX.add, (ROW[:8].reshape(1, 8),), TypeError, NOT_ARRAY.format("row", "ndarray")),
    (INDEX.add, (), TypeError, MISSING.format("Index.add", "row")),
    (INDEX.query, (ROW[::2],), ValueError, "row must be C-contiguous"),
    (INDEX.query, (ROW[:9],), ValueError, "row length 9 != d_bytes 8"),
    (INDEX.query, (ROW[:8].view(np.int8),), TypeError, NOT_ARRAY.format("row", "ndarray")),
    (INDEX.add_batch, (ROW[:64].reshape(8, 8).T,), ValueError, BATCH_CONTIGUOUS),
    (INDEX.add_batch, (ROW[:96].reshape(3, 32)[:, :8],), ValueError, BATCH_CONTIGUOUS),
    (INDEX.add_batch, (ROW[:27].reshape(3, 9),), ValueError, BATCH_SHAPE.format("[3, 9]")),
    (INDEX.add_batch, (ROW[:0].reshape(0, 4),), ValueError, BATCH_SHAPE.format("[0, 4]")),
    (INDEX.add_batch, (ROW[:8],), TypeError, NOT_ARRAY.format("batch", "ndarray")),
    (INDEX.query_batch, (STORED, 4), ValueError, "Index.query_batch: k (4) must be <= the index's k (3)"),
    (INDEX.query_batch, (STORED, -1), OverflowError, OVERFLOW),
    (INDEX.query_batch, (ROW[:96].reshape(24, 4),), ValueError, ROWS_SHAPE),
    (INDEX.query_batch, (STORED.T.copy().T,), ValueError, ROWS_CONTIGUOUS),
    (INDEX.save, ("/missing/x.idx",), FileNotFoundError, NOT_FOUND),
    (INDEX.save, ("/",), IsADirectoryError, "[Errno 21] Is a directory: '/'"),
    (INDEX.save, (1,), TypeError, "argument 'path': expected str, bytes or os.PathLike object, not int"),
    (INDEX.__setstate__, (m.Index(8, 3).__reduce__()[2],), ValueError, SETSTATE + NOT_EMPTY),
    (m.Index(8, 2).__setstate__, (INDEX.__reduce__()[2],), ValueError, SETSTATE + OTHER_K),
    (m.Index(8, 3).__setstate__, ("x",), TypeError, NOT_BYTES),
    (m.Index(8, 3).__setstate__, (CRAFTED,), ValueError, SETSTATE + TRUNCATED),
    # find_pairs and explain check in Python, then in the native module.
    (find_pairs, (c(10, 8), 64), ValueError, FIND_K.format(64, 64)),
    (find_pairs, (c(10, 8), -1), ValueError, FIND_K.format(-1, 64)),
    (find_pairs, (c(10, 8).view(np.int8), 1), TypeError, NOT_CODES.format("dtype uint8", "int8")),
    (find_pairs, (c(10, 8).tolist(), 1), TypeError, "a must be a numpy.ndarray of uint8 codes, not list"),
    (find_pairs, (c(10, 8)[0], 1), ValueError, "a must be 2-D (n rows of d_bytes bytes), not 1-D"),
    (find_pairs, (c(10, 8), 1, c(10, 4)), ValueError, FIND_WIDTH),
    (explain, (c(10, 8), 1.0), TypeError, "k must be an int, not float"),
    (find_groups, (c(10, 8), 64), ValueError, FIND_K.format(64, 64)),
    (keep_mask, (c(2, 2),), TypeError, "labels must be a 1-D array, not 2-D uint8"),
    # The adapters name the row they refuse.
    (from_hex, (["00ff", "00fg"],), ValueError, "from_hex: row 1 is not hex: '00fg'"),
    (from_hex, (["00ff", "00f"],), ValueError, "from_hex: row 1 has 3 characters, expected 4 hex digits"),
    (from_hex, (["00ff", "00ÿÿ"],), ValueError, "from_hex: row 1 is not hex: '00ÿÿ'"),
    (from_hex, (["00", 7],), TypeError, "from_hex: row 1 is int, not str"),
    (from_uint64, ([1, 2**64],), ValueError, f"from_uint64: row 1 ({2**64}) does not fit in 64 bits"),
    (from_uint64, ([1, 1.5],), TypeError, "from_uint64: row 1 is float, not an int"),
    (from_uint64, (np.ones(2),), TypeError, "from_uint64: values must be 64-bit integers, not float64"),
    (pack_bits, ([[0, 1], [1, 2]],), ValueError, "pack_bits: row 1 holds values other than 0 and 1"),
    (_brimel_pairs.pairs, (c(4, 8), None, 64), ValueError, FIND_K.format(64, 64).replace(">= 0 and ", "")),
    (_brimel_pairs.pairs, (f(4, 8), None, 1), ValueError, "a must be C-contiguous"),
    (_brimel_pairs.explain, (c(4, 8), c(4, 8).view(np.int8), 1), TypeError, NOT_ARRAY.format("b", "ndarray")),
]


def name(function) -> str:
    return getattr(function, "__qualname__", None) or function.func.__name__


@pytest.mark.parametrize("function, args, error, text", CASES, ids=[name(c[0]) for c in CASES])
def test_refused_calls(function, args, error, text):
    """(The arguments' reference counts after each: test_memory.py.)"""
    with pytest.raises(error) as caught:
        function(*args)
    assert type(caught.value) is error and str(caught.value) == text
    assert len(INDEX) == 200 and [INDEX.query(q) for q in STORED[:40]] == ANSWERS


def test_more_rows_than_ids_can_name_are_refused_before_a_row_is_read():
    # 2^32 one-byte rows without access rights: a read would crash. (No array is
    # an argument of this test: a failure report would print it.)
    region = mmap.mmap(-1, 2**32, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, prot=0)
    huge = np.frombuffer(region, np.uint8).reshape(-1, 1)
    ids = "more than 4294967295 rows: row ids are unsigned 32-bit"
    calls = [(join, (huge, 0), PANIC, "n exceeds u32::MAX") for join in SELF]
    calls += [(join, (huge, huge[:2], 0), PANIC, "n_a exceeds u32::MAX") for join in CROSS]
    calls += [(join, (huge[:2], huge, 0), PANIC, "n_b exceeds u32::MAX") for join in CROSS]
    calls += [(find_pairs, (huge, 0), OverflowError, ids), (find_groups, (huge, 0), OverflowError, ids)]
    for function, args, error, text in calls + [(explain, (huge[:2], 0, huge), OverflowError, ids)]:
        with pytest.raises(error) as caught:
            function(*args)
        assert type(caught.value) is error and str(caught.value) == text, function


def test_rows_whose_bit_count_wraps_are_refused_before_a_row_is_read():
    """Rows claiming 2^61 bytes or more (views of memory that is not there)
    were planned with the wrapped bit count 8 * d_bytes, then read. (No array
    is an argument of this test: a failure report would print it.)"""
    wide = 2**61 + 1
    empty = np.ndarray((0, wide), np.uint8, buffer=bytearray(0))
    unbacked = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), (2, wide), (wide, 1))
    calls = [(join, (unbacked, 3)) for join in (self_byte, self_bit, adaptive, find_pairs, find_groups)]
    calls += [(join, (unbacked, unbacked, 3)) for join in CROSS]

    def outcome(function, args):
        try:
            function(*args)
        except BaseException as failure:  # noqa: BLE001 - the class of either module
            return type(failure).__name__, str(failure)

    text = f"d_bytes ({wide}) is too large: 8*d_bytes must fit in 64 bits (d_bytes <= {wide - 2})"
    assert [outcome(*call) for call in calls] == [("PanicException", text)] * len(calls)
    # The joins' own k test keeps its wrapped product; without a pair of rows there is nothing to join.
    assert self_bit(empty, 3) == cross_bit(empty, unbacked, 3) == [] == find_pairs(empty, 3).i.tolist()


def test_k_index_that_reshapes_the_array_is_refused():
    """k.__index__ runs after the array was accepted; the shape is read (and
    checked again) only after it. A 0-d array read as 2-D read past NumPy's
    shape array (SIGSEGV), hence the subprocess."""
    support.run_script(
        """
        for join in catalog.JOINS:
            a = np.zeros((1, 1), np.uint8)
            class K:
                def __index__(self):
                    a.shape = ()
                    return 1
            try:
                join(np.zeros((1, 1), np.uint8), a, K()) if join.kind == "cross" else join(a, None, K())
                sys.exit(f"{join}: no TypeError")
            except TypeError as refused:
                name = "b" if join.kind == "cross" else "a"
                assert str(refused) == f"argument '{name}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
        """
    )


def test_accepted_arguments_and_result_types():
    codes = np.array([[1, 2], [1, 3], [9, 9]], dtype=np.uint8)
    frozen = codes.copy()
    frozen.flags.writeable = False
    for a in (frozen, codes.view(Sub), codes.astype("=u1"), np.broadcast_to(codes[:1], (3, 2))[:1]):
        assert m.find_pairs_self(a, 1) == m.find_pairs_self(a.copy(), 1)
    for k in (True, np.int64(1), np.uint8(1)):
        assert m.find_pairs_self(k=k, a=codes) == [(0, 1, 1)]
    assert m.find_pairs_cross_bit(b=codes, a=codes[:1], k=0) == [(0, 0, 0)]
    result = m.find_pairs_self(np.zeros((30, 8), np.uint8), 7)
    assert result == [(i, j, 0) for i in range(30) for j in range(i + 1, 30)]
    assert all(type(t) is tuple and all(type(x) is int for x in t) for t in result)
    # find_pairs copies what is not C-contiguous rather than refusing it.
    wide = c(10, 8)
    cross = catalog.PLANNED[1]
    assert cross(np.asfortranarray(wide), wide[::2], 20) == cross(wide, wide[::2].copy(), 20)
    assert catalog.PLANNED[0](wide[:0], None, 3) == catalog.PLANNED[0](wide[:1], None, 3) == []
    assert _brimel_pairs.pairs(wide, None, 3)[3] is None  # statistics only when asked for
    # The code-width limit of the planned join is exact: 8 * d_bytes does not wrap.
    widest = np.ndarray((0, 2**61), np.uint8, buffer=bytearray(0))
    assert catalog.PLANNED[0](widest, None, 5) == find_groups(widest, 5).tolist() == []
    assert _brimel_pairs.k_error(2**64, 2**61) == FIND_K.format(2**64, 2**64)
    # The Index: ids in order of arrival, keywords, read-only and memory-mapped rows.
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


def test_module_surface():
    assert m.__all__ == [j.name for j in catalog.JOINS] + ["Index", "__version__"]
    assert m.__version__ == importlib.metadata.version("brimel_native")
    assert m.__doc__ == "" and not hasattr(m, "PanicException")
    assert not issubclass(PANIC, Exception)
    for join in catalog.JOINS:
        assert join.function().__text_signature__ == ("(a, k)" if join.kind == "self" else "(a, b, k)")
        assert join.function().__module__ == m.__name__
    Index = m.Index
    methods = [Index.add, Index.add_batch, Index.query]
    assert [f.__text_signature__ for f in methods] == ["($self, row)", "($self, batch)", "($self, row)"]
    assert (Index.__name__, Index.__qualname__, Index.__module__) == ("Index", "Index", m.__name__)
    # CPython 3.9 drops a heap type's text signature when it copies the doc.
    assert Index.__text_signature__ == ("(d_bytes, k)" if sys.version_info >= (3, 10) else None)
    assert [getattr(Index, p).__doc__ for p in ("k", "n", "d_bytes")] == [None] * 3
    index = Index(2, 1)
    for misuse, error in [
        (lambda: type("Sub", (Index,), {}), TypeError),
        (lambda: __import__("weakref").ref(index), TypeError),
        (lambda: index[0], TypeError),
        (lambda: iter(index), TypeError),
        (lambda: setattr(index, "extra", 1), AttributeError),
        (lambda: setattr(index, "k", 7), AttributeError),
    ]:
        with pytest.raises(error):
            misuse()


@pytest.mark.parametrize("kernel", ["scalar", "avx2", "avx512", "best", "AVX2"])
def test_kernel_chosen_by_setting(kernel):
    """BRIMEL_KERNEL, read at import: every kernel the CPU runs finds the
    reference's pairs; any other setting fails the import."""
    runs = _brimel_pairs.KERNELS
    if kernel != "best" and kernel not in runs:
        env = dict(os.environ, BRIMEL_KERNEL=kernel)
        refused = subprocess.run(
            [sys.executable, "-c", "import brimel_native"], capture_output=True, text=True, env=env
        )
        why = "this CPU does not run" if kernel.islower() else "not a kernel; the kernels are scalar, avx2,"
        assert refused.stderr.splitlines()[-1].startswith(f"ImportError: BRIMEL_KERNEL={kernel}: {why}")
        return
    script = """
        import reference
        codes = support.planted(800, 16, 9, "equal")[0]
        assert catalog.PLANNED[1](codes, codes[::3], 9) == reference.cross_join(codes, codes[::3], 9)
        index = m.Index(16, 9)
        index.add_batch(codes)
        assert list(zip(*index.query_batch(codes[:50]))) == reference.cross_join(codes[:50], codes, 9)
        print(catalog.brimel_native._brimel_pairs.KERNEL)
    """
    assert support.run_script(script, BRIMEL_KERNEL=kernel).stdout.strip() == (
        runs[0] if kernel == "best" else kernel
    )
