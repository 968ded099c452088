"""The Index class: answers against the brute-force reference, ids, checks and
their messages, the type's surface."""

from __future__ import annotations

import subprocess
import sys
import weakref

import numpy as np
import pytest

import reference
import support
from brimel_native import _brimel_native as native

Index = native.Index


def expected_hits(queries: np.ndarray, stored: np.ndarray, k: int) -> list[list[tuple[int, int]]]:
    """Per query row, (id, dist) of every stored row within k, ascending by id."""
    hits: list[list[tuple[int, int]]] = [[] for _ in range(len(queries))]
    for q, j, dist in reference.cross_join(queries, stored, k):
        hits[q].append((j, dist))
    return hits


def probes(stored: np.ndarray, k: int, seed: int) -> np.ndarray:
    """Stored rows, copies with 0 to k + 1 bits flipped, and random rows."""
    rng = np.random.default_rng(seed)
    flips = lambda row: support.flip_bits(row, min(int(rng.integers(k + 2)), 8 * row.shape[0]), rng)  # noqa: E731
    near = np.stack([flips(stored[rng.integers(len(stored))]) for _ in range(len(stored) // 2)])
    return np.concatenate([stored, near, support.random_codes(20, stored.shape[1], seed + 1)])


def assert_answers(index: Index, stored: np.ndarray, queries: np.ndarray) -> None:
    assert index.n == len(index) == len(stored)
    assert [index.query(q) for q in queries] == expected_hits(queries, stored, index.k)


@pytest.mark.parametrize("d_bytes,k", [
    (1, 0), (1, 7), (3, 11), (8, 3), (16, 0), (17, 0), (25, 2), (32, 1), (32, 31), (64, 3),
])
def test_queries_equal_brute_force_after_mixed_adds(d_bytes, k):
    stored = support.planted_codes(400, d_bytes, k, seed=d_bytes * 100 + k)
    index = Index(d_bytes, k)
    rng = np.random.default_rng(k)
    r = 0
    while r < len(stored):  # single adds, empty batches and batches, in order
        take = int(rng.choice([0, 1, 1, int(rng.integers(2, 150))]))
        if take == 1 and rng.integers(2):
            assert index.add(stored[r]) == r
        else:
            assert index.add_batch(stored[r:r + take]) == r
        r = min(r + take, len(stored))
        assert index.n == len(index) == r
    assert_answers(index, stored, probes(stored, k, seed=7))


def test_ids_and_sizes():
    codes = support.random_codes(9, 8, seed=1)
    index = Index(d_bytes=8, k=np.uint32(2))
    assert (index.n, len(index), index.k, index.d_bytes) == (0, 0, 2, 8)
    assert index.query(codes[0]) == []
    assert index.add_batch(codes[:5]) == 0
    assert index.add(codes[5]) == 5
    assert index.add_batch(np.zeros((0, 8), np.uint8)) == 6
    frozen = codes.copy()
    frozen.flags.writeable = False
    assert index.add_batch(batch=frozen[6:].view(np.memmap)) == 6
    assert index.add(row=frozen[0]) == 9  # stored twice, found twice
    hits = index.query(row=codes[0])
    assert hits[0] == (0, 0) and hits[-1] == (9, 0)
    assert all(type(i) is int and type(d) is int for i, d in hits)


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((0, 0), {}, ValueError, "Index: d_bytes must be >= 1"),
    ((1, 8), {}, ValueError, "Index: k (8) must be < 8*d_bytes (8)"),
    ((4, 100), {}, ValueError, "Index: k (100) must be < 8*d_bytes (32)"),
    ((1,), {}, TypeError, "Index.__new__() missing 1 required positional argument: 'k'"),
    ((1, 2, 3), {}, TypeError, "Index.__new__() takes 2 positional arguments but 3 were given"),
    ((1, 2), {"d_bytes": 1}, TypeError, "Index.__new__() got multiple values for argument 'd_bytes'"),
    ((0, -1), {}, OverflowError, "out of range integral type conversion attempted"),
    ((8, 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
    ((1.0, 1), {}, TypeError, "argument 'd_bytes': 'float' object cannot be interpreted as an integer"),
])
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        Index(*args, **kwargs)
    assert type(caught.value) is error and str(caught.value) == message


def test_constructor_limits():
    with pytest.raises(OverflowError):
        Index(-1, 0)
    for d_bytes, k in [(1, 7), (64, 0), (64, 3), (2**20, 0)]:
        assert Index(d_bytes, k).k == k
    with pytest.raises(BaseException) as caught:
        Index(64, 1)
    assert type(caught.value).__name__ == "PanicException" and not isinstance(caught.value, Exception)
    assert str(caught.value) == "Index: bit chunk wider than 128 bits"


NOT_AN_ARRAY = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("call,error,message", [
    (lambda ix, w: ix.add(w[::2]), ValueError, "row must be C-contiguous; pass np.ascontiguousarray(row)"),
    (lambda ix, w: ix.add(w[:7]), ValueError, "row length 7 != d_bytes 8"),
    (lambda ix, w: ix.add(w[:8].reshape(1, 8)), TypeError, "argument 'row': " + NOT_AN_ARRAY),
    (lambda ix, w: ix.add(), TypeError, "Index.add() missing 1 required positional argument: 'row'"),
    (lambda ix, w: ix.query(w[::2]), ValueError, "row must be C-contiguous"),
    (lambda ix, w: ix.query(w[:9]), ValueError, "row length 9 != d_bytes 8"),
    (lambda ix, w: ix.query(w[:8].view(np.int8)), TypeError, "argument 'row': " + NOT_AN_ARRAY),
    (lambda ix, w: ix.query(row=w[:8], k=1), TypeError, "Index.query() got an unexpected keyword argument 'k'"),
    (lambda ix, w: ix.add_batch(w[:64].reshape(8, 8).T), ValueError,
     "batch must be C-contiguous; pass np.ascontiguousarray(batch)"),
    (lambda ix, w: ix.add_batch(w[:96].reshape(3, 32)[:, :8]), ValueError,
     "batch must be C-contiguous; pass np.ascontiguousarray(batch)"),
    (lambda ix, w: ix.add_batch(w[:27].reshape(3, 9)), ValueError,
     "batch must be 2-D with shape[1] == d_bytes (8), got shape [3, 9]"),
    (lambda ix, w: ix.add_batch(w[:0].reshape(0, 4)), ValueError,
     "batch must be 2-D with shape[1] == d_bytes (8), got shape [0, 4]"),
    (lambda ix, w: ix.add_batch(w[:8]), TypeError, "argument 'batch': " + NOT_AN_ARRAY),
])
def test_rejected_calls_leave_the_index_answering(call, error, message):
    stored = support.planted_codes(200, 8, 3, seed=5)
    index = Index(8, 3)
    index.add_batch(stored)
    wide = support.random_codes(1, 128, seed=8)[0]
    with pytest.raises(error) as caught:
        call(index, wide)
    assert str(caught.value) == message
    assert_answers(index, stored, probes(stored[:40], 3, seed=2))
    assert index.add(wide[:8]) == 200


@pytest.mark.parametrize("name", ["k", "n", "d_bytes"])
def test_properties_are_read_only(name):
    index = Index(4, 3)
    index.add_batch(np.zeros((2, 4), np.uint8))
    before = getattr(index, name)
    with pytest.raises(AttributeError):
        setattr(index, name, 7)
    with pytest.raises(AttributeError):
        delattr(index, name)
    assert getattr(index, name) == before


def test_type_surface():
    assert native.__all__.index("Index") == len(native.__all__) - 2
    assert (Index.__name__, Index.__qualname__, Index.__module__) == ("Index", "Index", native.__name__)
    # CPython 3.9 drops a spec type's text signature when it copies the doc.
    assert Index.__text_signature__ == ("(d_bytes, k)" if sys.version_info >= (3, 10) else None)
    first, second = Index.__doc__.split("\n\n")
    assert first == ("Streaming near-duplicate index. Stateful, append-only. Bit-level chunks\n"
                     "so any `k < 8 * d_bytes` is supported.")
    assert "thread" in second
    docs = {
        "add": ("($self, row)", "Add one row (1-D uint8 array of length d_bytes). Returns assigned id."),
        "add_batch": ("($self, batch)",
                      "Add a batch (2-D uint8 array, shape (m, d_bytes)). Returns first assigned id."),
        "query": ("($self, row)",
                  "Query one row (1-D uint8 array of length d_bytes). Returns\n"
                  "`list[(id, hamming_dist)]` for all stored rows within distance ≤ k.\n\n"
                  "Note: if the query row was previously added to the index, the\n"
                  "corresponding `(stored_id, 0)` entry IS included in the result.\n"
                  "Callers performing self-query (e.g. iterating over the corpus to\n"
                  "find near-dups of each row) should filter `id != self_id` themselves."),
    }
    for name, (signature, doc) in docs.items():
        assert (getattr(Index, name).__text_signature__, getattr(Index, name).__doc__) == (signature, doc)
    assert [getattr(Index, name).__doc__ for name in ("k", "n", "d_bytes")] == [None] * 3

    index = Index(2, 1)
    for unsupported in (lambda: type("Sub", (Index,), {}), lambda: weakref.ref(index),
                        lambda: index[0], lambda: iter(index), lambda: 0 in index):
        with pytest.raises(TypeError):
            unsupported()
    with pytest.raises(AttributeError):
        index.extra = 1


def test_imports_with_warnings_as_errors():
    subprocess.run([sys.executable, "-W", "error", "-c", "import brimel_native._brimel_native"], check=True)


OUT_OF_MEMORY_SCRIPT = """
import resource, sys
import numpy as np
from brimel_native._brimel_native import Index

rng = np.random.default_rng(0)
stored = rng.integers(0, 256, size=(200_000, 8), dtype=np.uint8)
index = Index(8, 7)  # eight one-byte chunks: 256 long lists per table
index.add_batch(stored)
before = [index.query(q) for q in stored[:100]]
big = rng.integers(0, 256, size=(3_000_000, 8), dtype=np.uint8)  # its lists need about 100 MB

with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + (48 << 20), hard))
for attempt in range(3):
    try:
        index.add_batch(big)
    except MemoryError:
        pass
    else:
        sys.exit("no MemoryError")
    assert index.n == 200_000, index.n
    assert [index.query(q) for q in stored[:100]] == before
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert index.add_batch(big) == 200_000 and index.n == 3_200_000
assert (200_005, 0) in index.query(big[5])
print("ok")
"""


@support.needs_address_space_limit
def test_add_batch_out_of_memory_changes_nothing():
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_SCRIPT], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
