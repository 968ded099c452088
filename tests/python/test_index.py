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
    if len(stored):
        for q, j, dist in reference.cross_join(queries, stored, k):
            hits[q].append((j, dist))
    return hits


def probes(stored: np.ndarray, k: int, seed: int) -> np.ndarray:
    """Stored rows, perturbed copies (0 to k + 1 bits flipped) and random rows."""
    rng = np.random.default_rng(seed)
    d_bytes = stored.shape[1]
    near = [support.flip_bits(stored[rng.integers(len(stored))], min(int(rng.integers(k + 2)), 8 * d_bytes), rng)
            for _ in range(len(stored) // 2)]
    parts = [stored, support.random_codes(20, d_bytes, seed + 1)]
    if near:
        parts.append(np.stack(near))
    return np.ascontiguousarray(np.concatenate(parts))


def fill(index: Index, codes: np.ndarray, seed: int) -> None:
    """Adds `codes` in order through single adds, batches and empty batches."""
    rng = np.random.default_rng(seed)
    r = 0
    while r < len(codes):
        choice = rng.integers(4)
        if choice == 0:
            assert index.add(codes[r]) == r
            r += 1
        elif choice == 1:
            assert index.add_batch(codes[r:r]) == r
        else:
            take = int(rng.integers(1, 150))
            assert index.add_batch(codes[r:r + take]) == r
            r = min(r + take, len(codes))
        assert index.n == len(index) == r


def assert_answers(index: Index, stored: np.ndarray, queries: np.ndarray) -> None:
    assert index.n == len(stored)
    assert [index.query(q) for q in queries] == expected_hits(queries, stored, index.k)


@pytest.mark.parametrize("d_bytes,k", [
    (1, 0), (1, 3), (1, 7), (2, 1), (3, 11), (8, 0), (8, 3), (8, 7), (12, 5),
    (16, 0), (16, 1), (17, 0), (20, 4), (25, 2), (32, 0), (32, 1), (32, 31), (64, 0), (64, 3),
])
def test_queries_equal_brute_force(d_bytes, k):
    stored = support.planted_codes(500, d_bytes, k, seed=d_bytes * 100 + k)
    index = Index(d_bytes, k)
    fill(index, stored, seed=k)
    queries = probes(stored, k, seed=7)
    assert_answers(index, stored, queries)
    assert [index.query(q) for q in queries[:50]] == [index.query(q) for q in queries[:50]]


def test_clustered_codes_share_long_lists():
    centres = support.random_codes(7, 8, seed=3)
    stored = centres[np.random.default_rng(4).integers(0, 7, size=3000)]
    index = Index(8, 5)
    index.add_batch(stored)
    assert_answers(index, stored, probes(stored[:300], 5, seed=9))


def test_ids_and_sizes():
    codes = support.random_codes(9, 8, seed=1)
    index = Index(8, 2)
    assert (index.n, len(index), index.k, index.d_bytes) == (0, 0, 2, 8)
    assert index.query(codes[0]) == []
    assert index.add_batch(codes[:5]) == 0
    assert index.n == len(index) == 5
    assert index.add(codes[5]) == 5
    assert index.n == 6
    assert index.add_batch(np.zeros((0, 8), np.uint8)) == 6
    assert index.add_batch(codes[6:]) == 6
    assert index.add(codes[0]) == 9  # stored twice, found twice
    assert index.query(codes[0])[:1] == [(0, 0)] and index.query(codes[0])[-1] == (9, 0)
    hit = index.query(codes[3])
    assert all(type(i) is int and type(d) is int for i, d in hit)


def test_arguments_by_keyword_and_array_kinds():
    codes = support.random_codes(4, 16, seed=2)
    index = Index(d_bytes=16, k=np.uint32(3))
    frozen = codes.copy()
    frozen.flags.writeable = False

    class Sub(np.ndarray):
        pass

    assert index.add(row=frozen[0]) == 0
    assert index.add_batch(batch=frozen[1:3].view(Sub)) == 1
    assert index.add(codes[3].view(Sub)) == 3
    assert index.query(row=frozen[1])[0] == (1, 0)


@pytest.mark.parametrize("args,kwargs,error,message", [
    ((0, 0), {}, ValueError, "Index: d_bytes must be >= 1"),
    ((1, 8), {}, ValueError, "Index: k (8) must be < 8*d_bytes (8)"),
    ((4, 100), {}, ValueError, "Index: k (100) must be < 8*d_bytes (32)"),
    ((), {}, TypeError, "Index.__new__() missing 2 required positional arguments: 'd_bytes' and 'k'"),
    ((1,), {}, TypeError, "Index.__new__() missing 1 required positional argument: 'k'"),
    ((1, 2, 3), {}, TypeError, "Index.__new__() takes 2 positional arguments but 3 were given"),
    ((1, 2), {"d_bytes": 1}, TypeError, "Index.__new__() got multiple values for argument 'd_bytes'"),
    ((1, 2), {"x": 1}, TypeError, "Index.__new__() got an unexpected keyword argument 'x'"),
    ((8, -1), {}, OverflowError, "out of range integral type conversion attempted"),
    ((8, 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
    ((0, -1), {}, OverflowError, "out of range integral type conversion attempted"),
    ((1.0, 1), {}, TypeError, "argument 'd_bytes': "),
    ((8, "3"), {}, TypeError, "argument 'k': "),
])
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        Index(*args, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value).startswith(message)
    assert message.endswith(": ") or str(caught.value) == message


def test_constructor_d_bytes_conversion_and_accepted_limits():
    with pytest.raises(OverflowError):
        Index(-1, 0)
    for d_bytes, k in [(1, 7), (64, 0), (64, 3), (32, 1), (2**20, 0)]:
        assert Index(d_bytes, k).k == k
    with pytest.raises(BaseException) as caught:
        Index(64, 1)
    assert type(caught.value).__name__ == "PanicException"
    assert not isinstance(caught.value, Exception)
    assert str(caught.value) == "Index: bit chunk wider than 128 bits"


@pytest.fixture
def filled():
    stored = support.planted_codes(200, 8, 3, seed=5)
    index = Index(8, 3)
    index.add_batch(stored)
    return index, stored


def _rejects(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


ROW_TYPE = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("call,error,message", [
    (lambda ix, w: ix.add(w[::2]), ValueError, "row must be C-contiguous; pass np.ascontiguousarray(row)"),
    (lambda ix, w: ix.add(w[:7]), ValueError, "row length 7 != d_bytes 8"),
    (lambda ix, w: ix.add(w[:0]), ValueError, "row length 0 != d_bytes 8"),
    (lambda ix, w: ix.add(w[:8].reshape(1, 8)), TypeError, "argument 'row': " + ROW_TYPE),
    (lambda ix, w: ix.add(w[:8].view(np.int8)), TypeError, "argument 'row': " + ROW_TYPE),
    (lambda ix, w: ix.add(list(w[:8])), TypeError,
     "argument 'row': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda ix, w: ix.add(), TypeError, "Index.add() missing 1 required positional argument: 'row'"),
    (lambda ix, w: ix.add(w[:8], w[:8]), TypeError, "Index.add() takes 1 positional arguments but 2 were given"),
    (lambda ix, w: ix.query(w[::2]), ValueError, "row must be C-contiguous"),
    (lambda ix, w: ix.query(w[:9]), ValueError, "row length 9 != d_bytes 8"),
    (lambda ix, w: ix.query(w[:16].reshape(2, 8)), TypeError, "argument 'row': " + ROW_TYPE),
    (lambda ix, w: ix.query(row=w[:8], k=1), TypeError, "Index.query() got an unexpected keyword argument 'k'"),
    (lambda ix, w: ix.add_batch(w[:64].reshape(8, 8).T), ValueError,
     "batch must be C-contiguous; pass np.ascontiguousarray(batch)"),
    (lambda ix, w: ix.add_batch(w[:96].reshape(3, 32)[:, :8]), ValueError,
     "batch must be C-contiguous; pass np.ascontiguousarray(batch)"),
    (lambda ix, w: ix.add_batch(w[:27].reshape(3, 9)), ValueError,
     "batch must be 2-D with shape[1] == d_bytes (8), got shape [3, 9]"),
    (lambda ix, w: ix.add_batch(w[:0].reshape(0, 4)), ValueError,
     "batch must be 2-D with shape[1] == d_bytes (8), got shape [0, 4]"),
    (lambda ix, w: ix.add_batch(w[:8]), TypeError, "argument 'batch': " + ROW_TYPE),
    (lambda ix, w: ix.add_batch(w[:16].reshape(2, 8).astype(np.uint16)), TypeError,
     "argument 'batch': " + ROW_TYPE),
])
def test_method_errors_leave_the_index_answering(filled, call, error, message):
    index, stored = filled
    wide = support.random_codes(1, 128, seed=8)[0]
    _rejects(lambda: call(index, wide), error, message)
    assert_answers(index, stored, probes(stored[:40], 3, seed=2))
    assert index.add(wide[:8]) == 200


@pytest.mark.parametrize("name", ["k", "n", "d_bytes"])
def test_properties_are_read_only(filled, name):
    index, _ = filled
    before = getattr(index, name)
    with pytest.raises(AttributeError):
        setattr(index, name, 7)
    with pytest.raises(AttributeError):
        delattr(index, name)
    assert getattr(index, name) == before


def test_type_surface():
    assert native.__all__.index("Index") == len(native.__all__) - 2
    assert Index.__name__ == "Index" and Index.__qualname__ == "Index"
    assert Index.__module__ == native.__name__
    # CPython 3.9 drops a spec type's text signature when it copies the doc.
    assert Index.__text_signature__ == ("(d_bytes, k)" if sys.version_info >= (3, 10) else None)
    first, second = Index.__doc__.split("\n\n")
    assert first == ("Streaming near-duplicate index. Stateful, append-only. Bit-level chunks\n"
                     "so any `k < 8 * d_bytes` is supported.")
    assert "thread" in second
    assert Index.add.__text_signature__ == "($self, row)"
    assert Index.add.__doc__ == "Add one row (1-D uint8 array of length d_bytes). Returns assigned id."
    assert Index.add_batch.__text_signature__ == "($self, batch)"
    assert Index.add_batch.__doc__ == "Add a batch (2-D uint8 array, shape (m, d_bytes)). Returns first assigned id."
    assert Index.query.__text_signature__ == "($self, row)"
    assert Index.query.__doc__ == (
        "Query one row (1-D uint8 array of length d_bytes). Returns\n"
        "`list[(id, hamming_dist)]` for all stored rows within distance ≤ k.\n\n"
        "Note: if the query row was previously added to the index, the\n"
        "corresponding `(stored_id, 0)` entry IS included in the result.\n"
        "Callers performing self-query (e.g. iterating over the corpus to\n"
        "find near-dups of each row) should filter `id != self_id` themselves.")
    for name in ("k", "n", "d_bytes"):
        assert getattr(Index, name).__doc__ is None

    index = Index(2, 1)
    with pytest.raises(TypeError):
        type("Sub", (Index,), {})
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)
    for unsupported in (lambda: index[0], lambda: iter(index), lambda: 0 in index):
        with pytest.raises(TypeError):
            unsupported()


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
probes = stored[:100]
before = [index.query(q) for q in probes]
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
    assert [index.query(q) for q in probes] == before
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert index.add_batch(big) == 200_000
assert index.n == 3_200_000
assert (200_005, 0) in index.query(big[5])
print("ok")
"""


def test_add_batch_out_of_memory_changes_nothing():
    result = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_SCRIPT], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
