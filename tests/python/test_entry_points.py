"""The entry points' checks, as one table: for each bad call, the exception, its
exact text (the first failing check names it, in each function's own order),
and that the arguments are released and the Index left as it was. Then the
module's surface: names, version, signatures and docs."""

from __future__ import annotations

import importlib
import importlib.metadata
import subprocess
import sys

import numpy as np
import pytest

import catalog
import support
from brimel_native import _brimel_native as m

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
WIDE = "bit chunk wider than 128 bits"
OVERFLOW = "out of range integral type conversion attempted"
NOT_ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


class Sub(np.ndarray):
    pass


def c(n, d):
    return support.random_codes(n, d, seed=n * 100 + d)


def f(n, d):  # Fortran-ordered
    return np.asfortranarray(c(n, d))


VIEWS = [f(3, 4), c(3, 8)[:, ::2], c(6, 4)[::-1][:3], c(6, 4)[::2], np.broadcast_to(c(1, 4), (3, 4))]
EMPTY_WIDE = np.ndarray((0, 10**12), np.uint8, buffer=bytearray(0))  # NumPy 1.x refuses np.zeros here

# (function, arguments, exception, text); PANIC is the engine refusing the search.
JOIN_CASES = [
    *[("find_pairs_self", (v, 0), ValueError, CONTIGUOUS_A) for v in VIEWS],
    *[("find_pairs_self_bit", (v, 0), ValueError, CONTIGUOUS_A) for v in VIEWS],
    *[
        (name, (v, 0), ValueError, "A must be C-contiguous")
        for v in VIEWS
        for name in ("_find_pairs_self_full_popcount", "find_pairs_self_adaptive")
    ],
    *[(name, (f(3, 4), -1), OverflowError, OVERFLOW) for name in m.__all__[:6] if "cross" not in name],
    ("find_pairs_self", (c(5, 8), 8), ValueError, SELF_K.format(8, 8)),
    ("find_pairs_self", (c(5, 0), 0), ValueError, SELF_K.format(0, 0)),
    ("find_pairs_self", (c(0, 3), 2**32 - 1), ValueError, SELF_K.format(2**32 - 1, 3)),
    ("find_pairs_self", (f(3, 4), 9), ValueError, CONTIGUOUS_A),
    ("find_pairs_self_bit", (c(5, 8), 64), ValueError, BIT_K.format(64, 64)),
    ("find_pairs_self_bit", (c(5, 0), 0), ValueError, BIT_K.format(0, 0)),
    ("find_pairs_self_bit", (c(5, 64), 1), PANIC, WIDE),
    ("find_pairs_self_bit", (c(0, 64), 1), PANIC, WIDE),
    ("_find_pairs_self_full_popcount", (c(5, 4), 4), ValueError, FULL_K.format(4, 4)),
    ("_find_pairs_self_full_popcount", (c(5, 0), 0), ValueError, FULL_K.format(0, 0)),
    ("_find_pairs_self_full_popcount", (c(0, 8), 2**32 - 1), ValueError, FULL_K.format(2**32 - 1, 8)),
    ("_find_pairs_self_full_popcount", (f(3, 4), 9), ValueError, "A must be C-contiguous"),
    ("find_pairs_self_adaptive", (c(5, 0), 0), ValueError, "A has zero-width rows (shape[1] == 0)"),
    ("find_pairs_self_adaptive", (c(0, 0), 0), ValueError, "A has zero-width rows (shape[1] == 0)"),
    ("find_pairs_self_adaptive", (c(5, 8), 64), PANIC, BIT_K.format(64, 64)),
    ("find_pairs_self_adaptive", (c(0, 8), 2**32 - 1), PANIC, BIT_K.format(2**32 - 1, 64)),
    ("find_pairs_self_adaptive", (EMPTY_WIDE, 1), PANIC, WIDE),  # no row to sample: the even plan
    ("find_pairs_self_adaptive", (np.full((7, 64), 0x3C, np.uint8), 1), PANIC, WIDE),  # nothing varies
    *[
        (name, args, ValueError, text)
        for name in ("find_pairs_cross", "find_pairs_cross_bit")
        for args, text in [
            ((c(3, 8), f(4, 16), 1), SAME_WIDTH),
            ((f(3, 8), c(4, 16), 1), SAME_WIDTH),
            ((c(3, 8), c(4, 4), 200), SAME_WIDTH),
            ((c(3, 8), f(4, 8), 1), CONTIGUOUS_AB),
            ((c(3, 16)[:, ::2], c(4, 8), 1), CONTIGUOUS_AB),
            ((c(3, 8), c(8, 8)[::2], 200), CONTIGUOUS_AB),
        ]
    ],
    *[
        (name, (f(3, 8), c(4, 8), -1), OverflowError, OVERFLOW)
        for name in ("find_pairs_cross", "find_pairs_cross_bit")
    ],
    *[
        (name, (c(3, 8), c(3, 8).view(np.int8), 1), TypeError, NOT_ARRAY.format("b", "ndarray"))
        for name in ("find_pairs_cross", "find_pairs_cross_bit")
    ],
    ("find_pairs_cross", (c(3, 8).view(np.int8), c(3, 8)[0], 1), TypeError, NOT_ARRAY.format("a", "ndarray")),
    ("find_pairs_cross", (c(3, 8), c(4, 8), 8), ValueError, CROSS_K.format(8, 8)),
    ("find_pairs_cross", (c(0, 4), c(0, 4), 2**32 - 1), ValueError, CROSS_K.format(2**32 - 1, 4)),
    ("find_pairs_cross", (c(3, 0), c(4, 0), 0), ValueError, CROSS_K.format(0, 0)),
    ("find_pairs_cross_bit", (c(5, 8), c(5, 8), 64), ValueError, BIT_K.format(64, 64) + "."),
    ("find_pairs_cross_bit", (c(5, 64), c(5, 64), 1), PANIC, WIDE),
    # Binding and conversion, shared by every entry.
    (
        "find_pairs_self",
        (c(4, 8),),
        TypeError,
        "find_pairs_self() missing 1 required positional argument: 'k'",
    ),
    (
        "find_pairs_cross_bit",
        (),
        TypeError,
        "find_pairs_cross_bit() missing 3 required positional arguments: 'a', 'b', and 'k'",
    ),
    (
        "find_pairs_self",
        (c(4, 8), 1, 2),
        TypeError,
        "find_pairs_self() takes 2 positional arguments but 3 were given",
    ),
    ("find_pairs_self", (c(4, 8), 2**32), OverflowError, OVERFLOW),
    ("find_pairs_self", (c(4, 8), 2**63), OverflowError, "Python int too large to convert to C long"),
    (
        "find_pairs_self",
        (c(4, 8), 1.5),
        TypeError,
        "argument 'k': 'float' object cannot be interpreted as an integer",
    ),
    (
        "find_pairs_self",
        (c(4, 8), "3"),
        TypeError,
        "argument 'k': 'str' object cannot be interpreted as an integer",
    ),
    ("find_pairs_self", ([[1]], -1), TypeError, NOT_ARRAY.format("a", "list")),  # a before k
    ("find_pairs_self", (None, 1), TypeError, NOT_ARRAY.format("a", "NoneType")),
    *[
        ("find_pairs_self", (bad, 1), TypeError, NOT_ARRAY.format("a", "ndarray"))
        for bad in [
            c(2, 8).view(np.int8),
            np.zeros((2, 8)),
            np.zeros((2, 8), bool),
            c(1, 8)[0],
            c(8, 2).reshape(2, 2, 4),
        ]
    ],
    ("find_pairs_self", (c(2, 8).view(Sub)[:, None], 1), TypeError, NOT_ARRAY.format("a", "Sub")),
]


@pytest.mark.parametrize("name, args, error, text", JOIN_CASES, ids=[c[0] for c in JOIN_CASES])
def test_join_errors(name, args, error, text):
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(a) for a in arrays]
    with pytest.raises(error) as caught:
        getattr(m, name)(*args)
    assert type(caught.value) is error and str(caught.value) == text
    del caught  # its traceback refers to the arguments
    assert [sys.getrefcount(a) for a in arrays] == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(k=1), "missing 1 required positional argument: 'a'"),
        (lambda f: f(c(4, 8), 1, k=2), "got multiple values for argument 'k'"),
        (lambda f: f(c(4, 8), k=1, x=2, y=3), "got an unexpected keyword argument 'x'"),
    ],
)
def test_keyword_errors(call, message):
    with pytest.raises(TypeError, match=rf"^find_pairs_self\(\) {message}$"):
        call(m.find_pairs_self)


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


DOCS = {
    "find_pairs_self": ("(a, k)", None),
    "find_pairs_self_bit": ("(a, k)", None),
    "find_pairs_cross": ("(a, b, k)", None),
    "find_pairs_cross_bit": ("(a, b, k)", None),
    "_find_pairs_self_full_popcount": (
        "(a, k)",
        "Bench-only: pre-Task-3 path using full popcount + compare (no early exit).",
    ),
    "find_pairs_self_adaptive": (
        "(a, k)",
        "Entropy-aware adaptive chunk planning (Task 4). Bit chunks are "
        "chosen\nfrom the positive-entropy bits only, balanced across k+1 chunks.",
    ),
    "Index.add": ("($self, row)", "Add one row (1-D uint8 array of length d_bytes). Returns assigned id."),
    "Index.add_batch": (
        "($self, batch)",
        "Add a batch (2-D uint8 array, shape (m, d_bytes)). Returns first assigned id.",
    ),
    "Index.query": (
        "($self, row)",
        "Query one row (1-D uint8 array of length d_bytes). Returns\n"
        "`list[(id, hamming_dist)]` for all stored rows within distance ≤ k.\n\n"
        "Note: if the query row was previously added to the index, the\n"
        "corresponding `(stored_id, 0)` entry IS included in the result.\n"
        "Callers performing self-query (e.g. iterating over the corpus to\n"
        "find near-dups of each row) should filter `id != self_id` themselves.",
    ),
}


def test_module_surface():
    assert m.__all__ == list(DOCS)[:6] + ["Index", "__version__"]
    assert m.__version__ == importlib.metadata.version("brimel_native")
    assert m.__doc__ == "" and not hasattr(m, "PanicException")
    assert not issubclass(PANIC, Exception)
    for name, (signature, doc) in DOCS.items():
        owner, _, attribute = name.rpartition(".")
        f = getattr(m.Index if owner else m, attribute)
        assert (f.__text_signature__, f.__doc__) == (signature, doc), name
        assert owner or f.__module__ == m.__name__
    Index = m.Index
    assert (Index.__name__, Index.__qualname__, Index.__module__) == ("Index", "Index", m.__name__)
    # CPython 3.9 drops a heap type's text signature when it copies the doc.
    assert Index.__text_signature__ == ("(d_bytes, k)" if sys.version_info >= (3, 10) else None)
    first, second = Index.__doc__.split("\n\n")
    assert (
        first
        == (
            "Streaming near-duplicate index. Stateful, append-only. Bit-level chunks\n"
            "so any `k < 8 * d_bytes` is supported."
        )
        and "thread" in second
    )
    assert [getattr(Index, p).__doc__ for p in ("k", "n", "d_bytes")] == [None] * 3
    index = Index(2, 1)
    for unsupported in (
        lambda: type("Sub", (Index,), {}),
        lambda: __import__("weakref").ref(index),
        lambda: index[0],
        lambda: iter(index),
        lambda: 0 in index,
    ):
        with pytest.raises(TypeError):
            unsupported()
    with pytest.raises(AttributeError):
        index.extra = 1


def test_import_once_and_without_warnings():
    first = sys.modules.pop("brimel_native._brimel_native")
    try:
        assert importlib.import_module("brimel_native._brimel_native") is first
    finally:
        sys.modules["brimel_native._brimel_native"] = first
    subprocess.run([sys.executable, "-W", "error", "-c", "import brimel_native._brimel_native"], check=True)
