"""The brute-force reference, loaded from its C++ source through ctypes.

The same `brute_force.cpp` is linked into the engine tests; here it is compiled
on first use (into build/reference/) unless BRIMEL_REFERENCE_LIB names a built
copy. Results are lists of (i, j, dist) tuples, ascending by (i, j).
"""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

_HERE = Path(__file__).resolve().parent
_ROOT = _HERE.parent.parent
_SOURCE = _HERE / "brute_force.cpp"

_u32p = ctypes.POINTER(ctypes.c_uint32)


def _build() -> Path:
    target = _ROOT / "build" / "reference" / "libbrimel_reference_py.so"
    if target.exists() and target.stat().st_mtime >= _SOURCE.stat().st_mtime:
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.with_suffix(f".{os.getpid()}.tmp")
    cxx = os.environ.get("CXX", "c++")
    subprocess.run(
        [
            cxx,
            "-O2",
            "-std=c++20",
            "-shared",
            "-fPIC",
            f"-I{_ROOT / 'core' / 'include'}",
            str(_SOURCE),
            "-o",
            str(tmp),
        ],
        check=True,
    )
    os.replace(tmp, target)
    return target


def _load() -> ctypes.CDLL:
    path = os.environ.get("BRIMEL_REFERENCE_LIB") or str(_build())
    lib = ctypes.CDLL(path)
    lib.brimel_reference_self.restype = ctypes.c_uint64
    lib.brimel_reference_self.argtypes = [
        ctypes.c_void_p,
        ctypes.c_uint64,
        ctypes.c_uint64,
        ctypes.c_uint32,
        ctypes.POINTER(_u32p),
    ]
    lib.brimel_reference_cross.restype = ctypes.c_uint64
    lib.brimel_reference_cross.argtypes = [
        ctypes.c_void_p,
        ctypes.c_uint64,
        ctypes.c_void_p,
        ctypes.c_uint64,
        ctypes.c_uint64,
        ctypes.c_uint32,
        ctypes.POINTER(_u32p),
    ]
    lib.brimel_reference_free.argtypes = [_u32p]
    return lib


_lib = None


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        _lib = _load()
    return _lib


def _triples(out: _u32p, count: int) -> list[tuple[int, int, int]]:
    if count == 0:
        return []
    flat = np.ctypeslib.as_array(out, shape=(count * 3,)).reshape(count, 3).tolist()
    _library().brimel_reference_free(out)
    return [tuple(t) for t in flat]


def self_join(a: np.ndarray, k: int) -> list[tuple[int, int, int]]:
    """Every pair i < j of rows of `a` within Hamming distance k."""
    a = np.ascontiguousarray(a, dtype=np.uint8)
    out = _u32p()
    count = _library().brimel_reference_self(a.ctypes.data, a.shape[0], a.shape[1], k, ctypes.byref(out))
    return _triples(out, count)


def cross_join(a: np.ndarray, b: np.ndarray, k: int) -> list[tuple[int, int, int]]:
    """Every (i, j), row i of `a` and row j of `b`, within Hamming distance k."""
    a = np.ascontiguousarray(a, dtype=np.uint8)
    b = np.ascontiguousarray(b, dtype=np.uint8)
    assert a.shape[1] == b.shape[1]
    out = _u32p()
    count = _library().brimel_reference_cross(
        a.ctypes.data, a.shape[0], b.ctypes.data, b.shape[0], a.shape[1], k, ctypes.byref(out)
    )
    return _triples(out, count)


if __name__ == "__main__":  # smoke check: python tests/reference/reference.py
    x = np.array([[0, 0], [0, 1], [1, 1], [0, 0]], dtype=np.uint8)
    print(self_join(x, 1), file=sys.stdout)
