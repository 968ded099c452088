"""The type stubs: stubtest against the installed module, and a type checker's
view of code that uses them."""

import ast
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="needs mypy (requirements-dev.txt installs it)")

ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def mypy(*args, cwd):
    # Run outside the source tree, so that mypy reads the installed package
    # (its .pyi, py.typed and __init__.py), not python/ of the checkout.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd,
                          timeout=600)


def test_stubtest(tmp_path):
    done = mypy("mypy.stubtest", "brimel_native", "--allowlist", str(ALLOWLIST), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_exports_the_module_names_in_order():
    import brimel_native
    from brimel_native import _brimel_native

    assert brimel_native.__all__ == _brimel_native.__all__ + ["find_pairs", "explain", "Pairs"]
    assert brimel_native.__version__ == _brimel_native.__version__


def test_stub_docstrings_are_the_module_s():
    # Editors show the stub's docstring in place of the module's.
    from brimel_native import _brimel_native

    stub = Path(_brimel_native.__file__).with_name("_brimel_native.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))

    def check(nodes, owner):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("__"):
                runtime = inspect.getattr_static(owner, node.name)
                if inspect.isdatadescriptor(runtime):  # properties have no docstrings
                    continue
                doc = runtime.__doc__ and inspect.cleandoc(runtime.__doc__)
                assert ast.get_docstring(node) == doc, node.name
                if isinstance(node, ast.ClassDef):
                    check(node.body, runtime)

    check(tree.body, _brimel_native)


USE = textwrap.dedent('''
    import numpy as np
    import brimel_native
    from brimel_native import Index, find_pairs_cross, find_pairs_self

    codes = np.zeros((4, 8), dtype=np.uint8)
    floats = np.zeros((4, 8), dtype=np.float32)
    pairs: list[tuple[int, int, int]] = find_pairs_self(codes, np.int64(3))
    for i, j, dist in find_pairs_cross(codes, codes, True):
        total: int = i + j + dist
    found = brimel_native.find_pairs(codes, 3)
    first: int = int(found.i[0]) + int(found.distance[0])
    index = Index(8, 3)
    hits: list[tuple[int, int]] = index.query(codes[0])
    size: int = len(index) + index.n + index.d_bytes + index.add(codes[0])
    ''')

MISUSE = {
    "find_pairs_self(codes, 1.5)": "arg-type",
    "find_pairs_self(floats, 1)": "arg-type",
    "i, j = find_pairs_self(codes, 1)[0]": "misc",
    "first: int = index.query(codes[0])[0][2]": "misc",
    "index.k = 4": "misc",
    "find_pairs_self(codes)": "call-arg",
    "Index(8, 3, 2)": "call-arg",
    "brimel_native.find_pairs(codes, 3, codes, 1)": "call-arg",
}


def test_types_of_use_and_misuse(tmp_path):
    lines = USE.splitlines() + list(MISUSE)
    (tmp_path / "use.py").write_text("\n".join(lines) + "\n")
    done = mypy("mypy", "--strict", "--no-error-summary", "--show-error-codes", "use.py", cwd=tmp_path)
    errors = {}
    for line in done.stdout.splitlines():
        path, number, _, message = line.split(":", 3)
        errors.setdefault(lines[int(number) - 1], []).append(message)
    # No complaint about correct use; at least one on each line of misuse.
    assert set(errors) == set(MISUSE), done.stdout
    for statement, code in MISUSE.items():
        assert any(f"[{code}]" in m for m in errors[statement]), (statement, errors[statement])
