"""Concurrent use: Python threads mixing every function and several Index objects,
the Index access rules while add_batch runs, the release of the interpreter lock,
and results that do not depend on the size of the worker pool."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import catalog
import support
from brimel_native import _brimel_native as m


def test_threads_mixing_every_function_match_sequential_results():
    codes, other = support.random_codes(6000, 8, 3), support.random_codes(3000, 8, 4)
    codes[1::2] = codes[:3000] ^ np.uint8(1)  # pairs at distance 1 and 2
    tasks = [(f"{j}-{k}", lambda j=j, k=k: j(codes, other, k)) for j in catalog.JOINS for k in (0, 3, 5)]
    shared = []
    for k in (1, 3, 6):
        shared.append(m.Index(8, k))
        shared[-1].add_batch(codes[:3000])
    tasks += [(f"shared-{i}", lambda s=s: [s.query(q) for q in other[:200]]) for i, s in enumerate(shared)]

    def private(k):
        index = m.Index(8, k)
        return (
            index.add_batch(codes),
            [index.add(q) for q in other[:20]],
            [index.query(q) for q in other[:200]],
        )

    tasks += [(f"private-{k}", lambda k=k: private(k)) for k in (2, 5)]
    expected = {name: call() for name, call in tasks}
    barrier, results, failures = threading.Barrier(8), [{} for _ in range(8)], []

    def worker(t):
        try:
            barrier.wait()
            order = tasks[t:] + tasks[:t]  # each thread in its own order, twice
            for name, call in order + order[::-1]:
                results[t].setdefault(name, []).append(call())
        except BaseException as failure:  # noqa: BLE001 - reported below
            failures.append(failure)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    assert all(got == {name: [value] * 2 for name, value in expected.items()} for got in results)


def test_index_access_rules_while_add_batch_runs():
    """The worker keeps the interpreter lock from `started` until add_batch
    releases it (switch interval raised); this thread, once it has seen the
    conflict, keeps it, so every check below sees the add_batch in progress.
    An attempt where the batch ended first does not count and is tried again."""
    other, row = m.Index(8, 3), support.random_codes(1, 8)[0]
    other.add(row)
    batch = support.random_codes(200_000, 8, seed=1)
    checks = {
        "query": lambda ix: ix.query(row),
        "add": lambda ix: ix.add(row),
        "add_batch": lambda ix: ix.add_batch(batch[:1]),
        "n": lambda ix: ix.n,
        "k": lambda ix: ix.k,
        "d_bytes": lambda ix: ix.d_bytes,
        "len": len,
    }
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        for _ in range(20):
            busy, started = m.Index(8, 3), threading.Event()
            worker = threading.Thread(target=lambda s=started, b=busy: (s.set(), b.add_batch(batch)))
            worker.start()
            started.wait()
            outcomes = {}
            for name, call in checks.items():
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
    shared, exclusive = "Already mutably borrowed", "Already borrowed"
    assert outcomes == {name: exclusive if name.startswith("add") else shared for name in checks}
    assert other_hits == [(0, 0)]
    assert busy.n == len(batch) and busy.add(row) == len(batch)  # nothing changed, usable again
    assert (len(batch), 0) in busy.query(row)


@pytest.mark.parametrize("name", [j.name for j in catalog.JOINS] + ["Index.add_batch"])
def test_lock_is_released_during_the_search(name):
    # Rows equal on their first 32 bits at k = 1: every part of a plan is one
    # group, so each join verifies hundreds of millions of pairs. For the
    # adaptive join, eight varying bits in four lists of two at k = 3 (far
    # more pairs within k, so fewer rows). Each search runs a few times: any
    # one of them may let the observer in.
    codes = support.random_codes(1500 if "adaptive" in name else 20000, 8, seed=5)
    codes[:, :4] = 0
    if "adaptive" in name:
        codes[:, 1:] = 0
    if name == "Index.add_batch":
        rows = support.random_codes(2_000_000, 8, seed=6)
        assert support.releases_lock(lambda: m.Index(8, 3).add_batch(rows))
    else:
        join = next(j for j in catalog.JOINS if j.name == name)
        k = 3 if "adaptive" in name else 1
        assert support.releases_lock(lambda: [join(codes, codes, k) for _ in range(5)])


POOL_SCRIPT = """
import hashlib, sys
sys.path[:0] = sys.argv[1:]
import catalog, support
from brimel_native import _brimel_native as m
codes, _, _ = support.planted(20000, 8, 5, seed=9)
wide, _, _ = support.planted(1000, 40, 30, seed=10)
for join in catalog.JOINS:
    for data, k in ((codes, 0), (codes, 5), (wide, 7 if join.accepts(40, 7) else 3)):
        result = join(data, data[::-1].copy(), k)
        print(join, k, len(result), hashlib.sha256(repr(result).encode()).hexdigest())
index = m.Index(8, 5)
index.add_batch(codes)
print("Index", hashlib.sha256(repr([index.query(q) for q in codes[:500]]).encode()).hexdigest())
"""


def test_pool_sizes_give_identical_results():
    here = Path(__file__).resolve().parent
    outputs = set()
    for size in (1, 2, 8):
        env = dict(os.environ, RAYON_NUM_THREADS=str(size))
        run = subprocess.run(
            [sys.executable, "-c", POOL_SCRIPT, str(here), str(here.parent / "reference")],
            capture_output=True,
            env=env,
            timeout=600,
        )
        assert run.returncode == 0, run.stderr.decode()
        outputs.add(run.stdout)
    assert len(outputs) == 1 and next(iter(outputs)).count(b"\n") == 19
