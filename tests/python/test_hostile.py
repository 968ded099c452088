"""Callers that misbehave: Python code that changes an array while a call holds
it, memory running out at awkward points, a pool that cannot start its threads.
Whatever they do, the process survives and the call raises the right exception;
what could crash runs in a subprocess and is judged by its exit status."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import support

needs_address_space_limit = pytest.mark.skipif(
    support.SANITIZED, reason="an address-space limit cannot be set under AddressSanitizer"
)

HERE = Path(__file__).resolve().parent

PRELUDE = textwrap.dedent(
    """
    import resource, sys, threading
    import numpy as np
    sys.path[:0] = [{here!r}]
    import catalog
    from brimel_native import _brimel_native as m

    def limit_address_space(extra_mib):
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + (extra_mib << 20), resource.RLIM_INFINITY))
    """
).format(here=str(HERE))


def run_script(body: str, env: dict | None = None) -> subprocess.CompletedProcess:
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=300,
        env=None if env is None else dict(os.environ, **env),
    )
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
    return result


def test_k_index_that_reshapes_the_array_is_refused():
    """k.__index__ runs after the array was accepted; the shape is read (and
    checked again) only after it. A 0-d array read as 2-D read past NumPy's
    shape array (SIGSEGV)."""
    out = run_script(
        """
        for join in catalog.JOINS:
            a = np.zeros((1, 1), np.uint8)
            class K:
                def __index__(self):
                    a.shape = ()
                    return 1
            args = (a, K()) if join.kind == "self" else (np.zeros((1, 1), np.uint8), a, K())
            try:
                join.function()(*args)
            except TypeError as refused:
                name = "a" if join.kind == "self" else "b"
                assert str(refused) == f"argument '{name}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
            else:
                sys.exit(f"{join.name}: no TypeError")
        print("ok")
        """
    )
    assert out.stdout.strip() == "ok"


@pytest.mark.parametrize("call", ["find_pairs_self", "find_pairs_cross", "Index.add_batch"])
def test_resize_during_a_call_is_refused(call):
    """Another thread resizing the array (refcheck=False skips NumPy's reference
    count check) while the call reads it without the interpreter lock: the
    buffer is pinned, so the resize fails instead of freeing it under the search.
    With the switch interval raised, the resizing thread gets the lock only once
    the call has given it up."""
    out = run_script(
        f"""
        call = {call!r}
        # 250 groups of equal rows: 10,000 rows for the joins, 400,000 (a longer
        # run) for add_batch
        copies = 1600 if call == "Index.add_batch" else 40
        a = np.repeat(np.arange(250, dtype=np.uint8), copies)[:, None].repeat(8, axis=1)
        expected = None
        def search():
            if call == "find_pairs_self":
                return m.find_pairs_self(a, 2)
            if call == "find_pairs_cross":
                return m.find_pairs_cross(a, a, 2)
            index = m.Index(8, 2)
            index.add_batch(a)
            return index.query(a[0]), len(index)
        expected = search()
        go = threading.Event()
        outcome = []
        def resize():
            go.wait()
            try:
                a.resize((1, 8), refcheck=False)
                outcome.append("resized")
            except ValueError:
                outcome.append("refused")
        resizer = threading.Thread(target=resize)
        resizer.start()
        sys.setswitchinterval(1000.0)
        go.set()
        got = search()
        resizer.join()
        assert outcome == ["refused"], outcome
        assert got == expected
        print("ok")
        """
    )
    assert out.stdout.strip() == "ok"


@needs_address_space_limit
@pytest.mark.parametrize("margin_mib", [24, 40, 56, 80])
def test_pool_that_cannot_start_its_threads_shrinks(margin_mib):
    """16 workers asked for with little address space left: a worker that
    could not start ended the process (std::terminate from a pool thread, exit
    134) or raised PanicException. Now the pool starts fewer workers; the join
    gives its result or MemoryError."""
    out = run_script(
        f"""
        a = np.random.default_rng(0).integers(0, 256, (20000, 8), dtype=np.uint8)
        a[1] = a[0]
        limit_address_space({margin_mib})
        try:
            print(m.find_pairs_self(a, 1))
        except MemoryError:
            print("MemoryError")
        """,
        env={"RAYON_NUM_THREADS": "16"},
    )
    assert out.stdout.strip() in ("[(0, 1, 0)]", "MemoryError")


@needs_address_space_limit
@pytest.mark.parametrize("call", ["find_pairs_self", "Index.query"])
def test_result_list_out_of_memory_is_memory_error(call):
    """The native records fit, the list of tuples (about 10 times larger) does
    not: MemoryError, nothing printed, and the next call works. It was a
    PanicException (a BaseException) with the error dumped to stderr."""
    out = run_script(
        f"""
        small = np.arange(16, dtype=np.uint8).reshape(2, 8)
        if {call!r} == "find_pairs_self":
            same = np.zeros((3000, 8), np.uint8)  # 4.5 million pairs
            search = lambda codes: m.find_pairs_self(codes, 1)
            margin = 480  # room for the search, not for its list
        else:
            index = m.Index(8, 0)
            index.add_batch(np.zeros((3_000_000, 8), np.uint8))  # one key, 3 million ids
            index.add_batch(small)
            search = lambda codes: index.query(codes[0])
            same = np.zeros((1, 8), np.uint8)
            margin = 100
        expected = search(small)
        limit_address_space(margin)
        try:
            search(same)
        except MemoryError:
            pass
        else:
            sys.exit("no MemoryError")
        assert search(small) == expected
        print("ok")
        """
    )
    assert out.stdout.strip() == "ok"
    assert out.stderr == ""


@needs_address_space_limit
def test_empty_index_with_huge_k_takes_no_memory():
    """2**25 one-bit chunks: their plan and tables took 2 GB before a row was
    stored. Now they are made with the first row."""
    out = run_script(
        """
        limit_address_space(256)
        index = m.Index(2**22, 2**25 - 1)
        row = np.zeros(2**22, np.uint8)
        assert (index.k, index.d_bytes, len(index), index.query(row)) == (2**25 - 1, 2**22, 0, [])
        print("ok")
        """
    )
    assert out.stdout.strip() == "ok"


def test_writes_during_add_batch_leave_codes_and_tables_in_agreement():
    """A thread flips byte 0 of every row again and again while add_batch runs
    without the interpreter lock. Each stored row is one of its two versions
    (single bytes do not tear), and with k = 0 its only key is the whole row:
    whichever version was stored, a query of it finds the row. Keys taken from
    the caller's buffer before the copy lost rows (stored under the key of the
    other version)."""
    import threading

    import numpy as np

    from brimel_native import Index

    n = 60_000
    a = np.zeros((n, 8), np.uint8)
    a[:, 1:5] = np.arange(n, dtype="<u4").view(np.uint8).reshape(n, 4)  # distinct rows
    b = a.copy()
    b[:, 0] ^= 0xFF
    batch = a.copy()
    done = threading.Event()

    def flip():
        while not done.is_set():
            batch[:, 0] ^= 0xFF

    writer = threading.Thread(target=flip)
    index = Index(8, 0)
    writer.start()
    try:
        for _ in range(3):
            index.add_batch(batch)
    finally:
        done.set()
        writer.join()
    lost = [
        r
        for r in range(len(index))
        if (r, 0) not in index.query(a[r % n]) and (r, 0) not in index.query(b[r % n])
    ]
    assert lost == []


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
    run = subprocess.run(
        [cmake, f"-DNUMPY_INCLUDE_DIR={tmp_path}", "-DNUMPY_VERSION=x", "-P", str(script)],
        capture_output=True,
        text=True,
    )
    if abi.startswith("0x02"):
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and "numpy>=2" in run.stderr
