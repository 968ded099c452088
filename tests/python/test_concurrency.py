"""Concurrent use: Python threads mixing every function and several Index objects,
the Index access rules under a deterministic interleaving, and results that do
not depend on the size of the worker pool."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

import catalog
import support

THREADS = 8


def join_tasks():
    """(name, call) for every built join, on data with many candidates, so the
    self-joins split their stages over the pool."""
    codes = support.planted_codes(6000, 8, 5, seed=3)
    other = support.planted_codes(3000, 8, 5, seed=4)
    tasks = []
    for join in catalog.JOINS:
        if not join.available:
            continue
        f = join.function()
        for k in (0, 3, 5):
            if join.kind == "self":
                tasks.append((f"{join}-{k}", lambda f=f, k=k: f(codes, k)))
            else:
                tasks.append((f"{join}-{k}", lambda f=f, k=k: f(codes, other, k)))
    return tasks


def index_tasks(shared):
    """(name, call) for Index work: queries on the shared objects (shared use
    only, so they never conflict), and private objects filled and queried."""
    if not hasattr(catalog.m, "Index"):
        return []
    Index = catalog.m.Index
    queries = support.planted_codes(200, 8, 3, seed=7)
    batch = support.planted_codes(4000, 8, 3, seed=8)

    def query_all(index):
        return [index.query(q) for q in queries]

    def private(d_bytes_k):
        index = Index(8, d_bytes_k)
        first = index.add_batch(batch)  # releases the interpreter lock
        ids = [index.add(q) for q in queries[:20]]
        return first, ids, query_all(index), len(index)

    tasks = [(f"shared-{i}", lambda s=s: query_all(s)) for i, s in enumerate(shared)]
    tasks += [(f"private-{k}", lambda k=k: private(k)) for k in (2, 5)]
    return tasks


def shared_indexes():
    if not hasattr(catalog.m, "Index"):
        return []
    indexes = []
    for k, seed in ((1, 20), (3, 21), (6, 22)):
        index = catalog.m.Index(8, k)
        index.add_batch(support.planted_codes(3000, 8, k, seed=seed))
        indexes.append(index)
    return indexes


def test_threads_mixing_every_function_match_sequential_results():
    shared = shared_indexes()
    tasks = join_tasks() + index_tasks(shared)
    expected = {name: call() for name, call in tasks}
    assert any(expected.values())  # the joins find pairs, the queries hits
    barrier = threading.Barrier(THREADS)
    results = [dict() for _ in range(THREADS)]
    failures = []

    def worker(t):
        try:
            barrier.wait()
            # Every thread runs every task twice, each thread in its own order.
            order = tasks[t % len(tasks):] + tasks[: t % len(tasks)]
            for name, call in order + order[::-1]:
                results[t].setdefault(name, []).append(call())
        except BaseException as failure:  # noqa: BLE001 - reported below
            failures.append(failure)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    for per_thread in results:
        assert set(per_thread) == set(expected)
        for name, got in per_thread.items():
            assert got == [expected[name]] * 2, name


def test_index_access_rules_while_add_batch_runs():
    """A second thread's add_batch holds its exclusive use while its engine call
    runs without the interpreter lock. With the switch interval raised, the
    worker keeps the lock from `started` until add_batch releases it, and this
    thread, once it has seen the conflict, keeps it (nothing below releases it)
    so the worker cannot end its use meanwhile: every check below sees the
    add_batch in progress. Only if the worker's engine call ends before this
    thread can take the lock at all does an attempt not count, and it is tried
    again on a fresh object."""
    Index = catalog.index_class()
    other = Index(8, 3)
    row = support.random_codes(1, 8)[0]
    other.add(row)
    batch = support.planted_codes(20000, 8, 3, seed=1)
    checks = [
        ("query", lambda busy: busy.query(row)),
        ("add", lambda busy: busy.add(row)),
        ("add_batch", lambda busy: busy.add_batch(batch[:1])),
        ("n", lambda busy: busy.n),
        ("k", lambda busy: busy.k),
        ("d_bytes", lambda busy: busy.d_bytes),
        ("len", lambda busy: len(busy)),
    ]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        for attempt in range(20):
            busy = Index(8, 3)
            started = threading.Event()

            def work():
                started.set()
                busy.add_batch(batch)

            worker = threading.Thread(target=work)
            worker.start()
            started.wait()
            outcomes = {}
            for name, call in checks:
                try:
                    call(busy)
                    outcomes[name] = "ran"
                except RuntimeError as conflict:
                    outcomes[name] = str(conflict)
            other_hits = other.query(row)  # another object is not affected
            worker.join()
            if outcomes["query"] != "ran":
                break
    finally:
        sys.setswitchinterval(interval)
    assert outcomes == {
        "query": "Already mutably borrowed",
        "add": "Already borrowed",
        "add_batch": "Already borrowed",
        "n": "Already mutably borrowed",
        "k": "Already mutably borrowed",
        "d_bytes": "Already mutably borrowed",
        "len": "Already mutably borrowed",
    }
    assert other_hits == [(0, 0)]
    # The refused calls changed nothing; the object is usable again.
    assert busy.n == len(batch)
    assert busy.add(row) == len(batch)
    assert (len(batch), 0) in busy.query(row)


def test_index_uses_end_on_error_paths():
    """A refused call ends its use: the next exclusive use is granted."""
    Index = catalog.index_class()
    index = Index(8, 3)
    for bad in (lambda: index.add(np.zeros(7, np.uint8)), lambda: index.query(np.zeros(9, np.uint8)),
                lambda: index.add_batch(np.zeros((2, 9), np.uint8)), lambda: index.add("row")):
        with pytest.raises((ValueError, TypeError)):
            bad()
        assert index.add(np.zeros(8, np.uint8)) == index.n - 1


POOL_SCRIPT = textwrap.dedent(
    """
    import hashlib, sys
    sys.path[:0] = sys.argv[1:]
    import catalog, support
    from brimel_native import _brimel_native as m

    codes = support.planted_codes(20000, 8, 5, seed=9)
    wide = support.planted_codes(4000, 40, 30, seed=10)
    for join in catalog.JOINS:
        if not join.available:
            continue
        f = join.function()
        for data, k in ((codes, 0), (codes, 3), (codes, 5), (wide, 7 if join.accepts(40, 7) else 3)):
            args = (data, k) if join.kind == "self" else (data, data[::-1].copy(), k)
            result = f(*args)
            print(join.name, k, len(result), hashlib.sha256(repr(result).encode()).hexdigest())
    if hasattr(m, "Index"):
        index = m.Index(8, 5)
        index.add_batch(codes)
        hits = [index.query(q) for q in codes[:500]]
        print("Index", len(hits), hashlib.sha256(repr(hits).encode()).hexdigest())
    """
)


@pytest.mark.parametrize("sizes", [(1, 2, 3, 8, 64)])
def test_pool_sizes_give_identical_results(sizes):
    here = Path(__file__).resolve().parent
    outputs = {}
    for size in sizes:
        env = dict(os.environ, RAYON_NUM_THREADS=str(size))
        run = subprocess.run(
            [sys.executable, "-c", POOL_SCRIPT, str(here), str(here.parent / "reference")],
            capture_output=True, env=env, timeout=600)
        assert run.returncode == 0, run.stderr.decode()
        outputs[size] = run.stdout
    assert outputs[sizes[0]].count(b"\n") >= 4
    assert all(out == outputs[sizes[0]] for out in outputs.values()), {
        s: out.decode() for s, out in outputs.items()}
