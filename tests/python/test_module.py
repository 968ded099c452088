"""The module surface: attributes, signatures, argument binding and conversion."""

import importlib
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from brimel_native import _brimel_native as m

CODES = np.zeros((4, 8), dtype=np.uint8)


def test_attributes_and_version():
    assert m.__all__[:1] == ["find_pairs_self"]
    assert m.__all__[-1] == "__version__"
    assert m.__version__ == "0.4.2"
    assert m.__doc__ == ""
    for name in m.__all__:
        assert hasattr(m, name)
    assert not hasattr(m, "PanicException")


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("brimel_native._brimel_native")
    try:
        again = importlib.import_module("brimel_native._brimel_native")
        assert again is first
    finally:
        sys.modules["brimel_native._brimel_native"] = first


def test_signature_and_keywords():
    f = m.find_pairs_self
    assert f.__text_signature__ == "(a, k)"
    assert f.__doc__ is None
    assert f.__module__ == m.__name__
    assert f(a=CODES, k=3) == f(CODES, 3)
    assert f(k=3, a=CODES) == f(CODES, 3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(CODES), "find_pairs_self() missing 1 required positional argument: 'k'"),
        (lambda f: f(), "find_pairs_self() missing 2 required positional arguments: 'a' and 'k'"),
        (lambda f: f(k=1), "find_pairs_self() missing 1 required positional argument: 'a'"),
        (lambda f: f(CODES, 1, 2), "find_pairs_self() takes 2 positional arguments but 3 were given"),
        (lambda f: f(CODES, 1, k=2), "find_pairs_self() got multiple values for argument 'k'"),
        (lambda f: f(CODES, 1, x=2), "find_pairs_self() got an unexpected keyword argument 'x'"),
        (lambda f: f(CODES, k=1, x=2, y=3), "find_pairs_self() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(m.find_pairs_self)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "k, kind, message",
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        (2**63, OverflowError, None),  # the interpreter's own text
        (1.5, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_k_conversion_errors(k, kind, message):
    with pytest.raises(kind) as info:
        m.find_pairs_self(CODES, k)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message


def test_k_conversions_accepted():
    codes = np.array([[0, 0], [0, 1]], dtype=np.uint8)
    assert m.find_pairs_self(codes, True) == [(0, 1, 1)]
    assert m.find_pairs_self(codes, np.int64(1)) == [(0, 1, 1)]
    assert m.find_pairs_self(codes, np.uint8(0)) == []


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize(
    "a, qualname",
    [
        ([[0, 1]], "list"),
        (np.zeros((2, 8), dtype=np.int8), "ndarray"),
        (np.zeros((2, 8), dtype=np.float64), "ndarray"),
        (np.zeros((2, 8), dtype=np.bool_), "ndarray"),
        (np.zeros(8, dtype=np.uint8), "ndarray"),
        (np.zeros((2, 2, 2), dtype=np.uint8), "ndarray"),
        (None, "NoneType"),
        (np.zeros((2, 8), dtype=np.uint8).view(Sub)[:, None], "Sub"),
    ],
)
def test_array_conversion_errors(a, qualname):
    with pytest.raises(TypeError) as info:
        m.find_pairs_self(a, 1)
    assert str(info.value) == f"argument 'a': '{qualname}' object cannot be converted to 'PyArray<T, D>'"


def test_bad_a_is_reported_before_bad_k():
    with pytest.raises(TypeError, match="^argument 'a': "):
        m.find_pairs_self([[1]], -1)


def test_k_is_converted_before_layout_checks():
    with pytest.raises(OverflowError):
        m.find_pairs_self(np.asfortranarray(np.zeros((3, 4), dtype=np.uint8)), -1)


def test_readonly_subclass_and_byteorder_equivalent_arrays_accepted():
    codes = np.array([[1, 2], [1, 3], [9, 9]], dtype=np.uint8)
    expected = [(0, 1, 1)]
    readonly = codes.copy()
    readonly.flags.writeable = False
    assert m.find_pairs_self(readonly, 1) == expected
    assert m.find_pairs_self(codes.view(Sub), 1) == expected
    assert m.find_pairs_self(codes.astype(np.dtype("=u1")), 1) == expected


@pytest.mark.parametrize("abi", ["0x02000000", "0x01000009"])
def test_build_checks_for_numpy_2_headers(abi, tmp_path):
    """NumPy 1.x headers stop the configure step with what to install, instead
    of a bare compiler error at PyArray_ImportNumPyAPI."""
    import shutil

    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake")
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "_numpyconfig.h").write_text(f"#define NPY_ABI_VERSION {abi}\n")
    script = Path(__file__).resolve().parents[2] / "binding" / "numpy_headers.cmake"
    run = subprocess.run([cmake, f"-DNUMPY_INCLUDE_DIR={tmp_path}", "-DNUMPY_VERSION=x", "-P", str(script)],
                         capture_output=True, text=True)
    if abi.startswith("0x02"):
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and "numpy>=2" in run.stderr
