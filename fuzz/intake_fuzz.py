"""Fuzzes the Python intake of every pair-search function and of Index.

The input decides the arguments: arrays of many dtypes, dimensions and shapes,
with views (transposed, sliced, reversed, broadcast with zero strides),
read-only and subclass arrays, non-arrays, and odd `k` values (negative, huge,
bool, float, NumPy scalars, objects with __index__). Each call must either
succeed with exactly the brute-force result or raise the class of exception
that its arguments call for; anything else, and any crash, is a finding.

    .venv/bin/python fuzz/intake_fuzz.py -max_total_time=60   # or scripts/fuzz.sh
"""

from __future__ import annotations

import sys
from pathlib import Path

import atheris

_ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(_ROOT / "tests" / "python"), str(_ROOT / "tests" / "reference")]

import numpy as np  # noqa: E402
import pytest  # noqa: E402,F401 - imported by catalog; not worth instrumenting

from brimel_native import _brimel_native as m  # noqa: E402

with atheris.instrument_imports():
    import catalog  # noqa: E402
    import reference  # noqa: E402

JOINS = [join for join in catalog.JOINS if join.available]
PANIC = catalog.panic_exception()
U32_MAX = 2**32 - 1


class Sub(np.ndarray):
    pass


class Indexable:
    """An object with __index__ that returns `value` or raises."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


DTYPES = ["u1", "=u1", "<u1", "|u1", "i1", "?", "u2", "f4", "V1", "S1", "O"]


@atheris.instrument_func
def make_array(fdp: atheris.FuzzedDataProvider, ndim_hint: int):
    """Some object offered as an array; mostly arrays near the accepted form."""
    form = fdp.ConsumeIntInRange(0, 15)
    if form == 0:
        return [[fdp.ConsumeIntInRange(0, 255)] * 2]
    if form == 1:
        return None if fdp.ConsumeBool() else fdp.ConsumeBytes(8)
    ndim = ndim_hint if form > 4 else fdp.ConsumeIntInRange(0, 3)
    shape = tuple(fdp.ConsumeIntInRange(0, 12 if axis == 0 else 20) for axis in range(ndim))
    size = int(np.prod(shape)) if shape else 1
    data = np.frombuffer(fdp.ConsumeBytes(size).ljust(size, b"\0"), dtype=np.uint8)
    array = data.reshape(shape).copy()
    if form in (2, 3):
        dtype = DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)]
        array = array.astype(dtype) if dtype != "V1" else array.view("V1")
    view = fdp.ConsumeIntInRange(0, 9) if ndim else 0
    if view == 1:
        array = array.T
    elif view == 2:
        array = array[::-1]
    elif view == 3 and ndim >= 1:
        array = array[..., ::2]
    elif view == 4:
        array = np.asfortranarray(array)
    elif view == 5 and ndim >= 1:  # rows broadcast from one: zero stride
        array = np.broadcast_to(array[:1], array.shape)
    elif view == 6 and ndim >= 1:
        array = array[1:]  # offset start, still contiguous
    elif view == 7 and ndim == 2:
        array = np.lib.stride_tricks.as_strided(array, shape=array.shape, strides=(array.shape[1], 0))
    if fdp.ConsumeBool():
        array = array.view(Sub)
    if fdp.ConsumeIntInRange(0, 3) == 0 and isinstance(array, np.ndarray):
        array.flags.writeable = False
    return array


@atheris.instrument_func
def make_k(fdp: atheris.FuzzedDataProvider):
    form = fdp.ConsumeIntInRange(0, 12)
    small = fdp.ConsumeIntInRange(0, 200)
    return [
        small, small, small, -1 - small, U32_MAX, U32_MAX + 1, 2**63, 2**64 + small, bool(small % 2),
        float(small), np.uint8(small % 256), Indexable(small),
        Indexable(ValueError("no")) if small % 2 else str(small),
    ][form]


@atheris.instrument_func
def k_outcome(k):
    """The converted k, or the exception class its conversion raises."""
    if isinstance(k, bool):
        return int(k)
    if isinstance(k, (int, np.integer)):
        k = int(k)
    elif isinstance(k, Indexable):
        if isinstance(k.value, BaseException):
            return type(k.value)
        k = k.value
    else:
        return TypeError
    return k if 0 <= k <= U32_MAX else OverflowError


def is_code_array(a, ndim):
    return isinstance(a, np.ndarray) and a.ndim == ndim and a.dtype == np.uint8


@atheris.instrument_func
def expected_join(join, arrays, k):
    """The exception class the call must raise, None if it must succeed, or a
    tuple of allowed classes."""
    for a in arrays:
        if not is_code_array(a, 2):
            return TypeError
    converted = k_outcome(k)
    if not isinstance(converted, int):
        return converted
    if join.kind == "cross" and arrays[0].shape[1] != arrays[1].shape[1]:
        return ValueError
    if not all(a.flags.c_contiguous for a in arrays):
        return ValueError
    d_bytes = arrays[0].shape[1]
    if join.accepts(d_bytes, converted):
        return None
    if join.name == "find_pairs_self_adaptive" and d_bytes > 0:
        return (None, PANIC)  # searched on the adaptive plan, or refused by the fallback
    return (ValueError, PANIC)


@atheris.instrument_func
def check_join(join, arrays, k):
    function = join.function()
    expected = expected_join(join, arrays, k)
    allowed = expected if isinstance(expected, tuple) else (expected,)
    try:
        result = function(*arrays, k)
    except BaseException as failure:  # noqa: BLE001 - classified below
        if not any(c is not None and isinstance(failure, c) for c in allowed):
            raise AssertionError(f"{join.name}: {type(failure).__name__}: {failure}; "
                                 f"expected {allowed}") from failure
        return
    if None not in allowed:
        raise AssertionError(f"{join.name} succeeded; expected {allowed}")
    k = int(k_outcome(k))
    want = (reference.self_join(arrays[0], k) if join.kind == "self"
            else reference.cross_join(arrays[0], arrays[1], k))
    if result != want:
        raise AssertionError(f"{join.name} differs from the reference")


@atheris.instrument_func
def check_index(fdp):
    d_bytes = fdp.ConsumeIntInRange(0, 20)
    k = make_k(fdp)
    converted = k_outcome(k)
    try:
        index = m.Index(d_bytes, k)
    except BaseException as failure:  # noqa: BLE001
        if isinstance(converted, int) and catalog.index_accepts(d_bytes, converted):
            raise AssertionError(f"Index({d_bytes}, {k!r}) refused: {failure!r}") from failure
        if not isinstance(failure, (TypeError, ValueError, OverflowError, PANIC)):
            raise
        return
    if not (isinstance(converted, int) and catalog.index_accepts(d_bytes, converted)):
        raise AssertionError(f"Index({d_bytes}, {k!r}) accepted")
    stored = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        op = fdp.ConsumeIntInRange(0, 2)
        arg = make_array(fdp, 2 if op == 1 else 1)
        ndim = 2 if op == 1 else 1
        valid = (is_code_array(arg, ndim) and arg.flags.c_contiguous
                 and arg.shape[-1] == d_bytes)
        try:
            if op == 0:
                got = index.add(arg)
            elif op == 1:
                got = index.add_batch(arg)
            else:
                got = index.query(arg)
        except (TypeError, ValueError) as failure:
            if valid:
                raise AssertionError(f"valid argument refused: {failure!r}") from failure
            continue
        if not valid:
            raise AssertionError(f"invalid argument accepted by operation {op}")
        if op == 0:
            assert got == len(stored)
            stored.append(arg.copy())
        elif op == 1:
            assert got == len(stored)
            stored.extend(row.copy() for row in arg)
        else:
            rows = np.array(stored, dtype=np.uint8).reshape(len(stored), d_bytes)
            assert got == [(j, dist) for _, j, dist in reference.cross_join(arg[None], rows, converted)]
        assert index.n == len(index) == len(stored)


@atheris.instrument_func
def test_one_input(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    if hasattr(m, "Index") and fdp.ConsumeIntInRange(0, 3) == 0:
        check_index(fdp)
        return
    if not JOINS:
        return
    join = JOINS[fdp.ConsumeIntInRange(0, len(JOINS) - 1)]
    a = make_array(fdp, 2)
    arrays = [a] if join.kind == "self" else [a, a if fdp.ConsumeBool() else make_array(fdp, 2)]
    check_join(join, arrays, make_k(fdp))


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
