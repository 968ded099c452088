"""The brute-force reference, loaded from its C++ source through ctypes.

The same `brute_force.cpp` is linked into the engine tests; here it is compiled
on first use (into build/reference/) unless BRIMEL_REFERENCE_LIB names a built
copy. Results are lists of (i, j, dist) tuples, ascending by (i, j).
"""

from __future__ import annotations

import ctypes
import functools
import os
import subprocess
from pathlib import Path

import numpy as np

_HERE = Path(__file__).resolve().parent
_ROOT = _HERE.parent.parent
_u32p = ctypes.POINTER(ctypes.c_uint32)
_u64, _u32, _ptr = ctypes.c_uint64, ctypes.c_uint32, ctypes.c_void_p


def _build() -> Path:
    source, target = _HERE / "brute_force.cpp", _ROOT / "build" / "reference" / "libbrimel_reference_py.so"
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.with_suffix(f".{os.getpid()}.tmp")
    flags = ["-O2", "-std=c++20", "-shared", "-fPIC", f"-I{_ROOT / 'core' / 'include'}"]
    subprocess.run([os.environ.get("CXX", "c++"), *flags, str(source), "-o", str(tmp)], check=True)
    os.replace(tmp, target)
    return target


@functools.lru_cache(maxsize=None)
def _library() -> ctypes.CDLL:
    lib = ctypes.CDLL(os.environ.get("BRIMEL_REFERENCE_LIB") or str(_build()))
    lib.brimel_reference_self.restype = lib.brimel_reference_cross.restype = _u64
    lib.brimel_reference_self.argtypes = [_ptr, _u64, _u64, _u32, ctypes.POINTER(_u32p)]
    lib.brimel_reference_cross.argtypes = [_ptr, _u64, _ptr, _u64, _u64, _u32, ctypes.POINTER(_u32p)]
    lib.brimel_reference_free.argtypes = [_u32p]
    return lib


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
    a, b = np.ascontiguousarray(a, dtype=np.uint8), np.ascontiguousarray(b, dtype=np.uint8)
    assert a.shape[1] == b.shape[1]
    out = _u32p()
    lib = _library()
    count = lib.brimel_reference_cross(
        a.ctypes.data, len(a), b.ctypes.data, len(b), a.shape[1], k, ctypes.byref(out)
    )
    return _triples(out, count)
