"""Concurrent use: Python threads mixing every function and several Index objects,
joins in a forked child, the Index access rules while add_batch runs, and other
threads resizing or changing an array while a call reads it without the
interpreter lock.
(Results under pools of 1, 2 and 8 workers: CTest's *_workers runs.)"""

from __future__ import annotations

import operator
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import catalog
import support
from brimel_native import _brimel_native as m


def filled(k, rows):
    index = m.Index(8, k)
    return index, index.add_batch(rows)


def test_threads_mixing_every_function_match_sequential_results():
    codes, other = support.random_codes(6000, 8, 3), support.random_codes(3000, 8, 4)
    codes[1::2] = codes[:3000] ^ np.uint8(1)  # pairs at distance 1 and 2
    joins = catalog.JOINS + catalog.PLANNED
    tasks = [(f"{j}-{k}", lambda j=j, k=k: j(codes, other, k)) for j in joins for k in (0, 3, 5)]
    shared = [filled(k, codes[:3000])[0] for k in (1, 3, 6)]
    tasks += [(f"shared-{i}", lambda s=s: [s.query(q) for q in other[:200]]) for i, s in enumerate(shared)]

    def private(k):  # an Index per call: filled, grown and queried
        index, first = filled(k, codes)
        return first, [index.add(q) for q in other[:20]], [index.query(q) for q in other[:200]]

    tasks += [(f"private-{k}", lambda k=k: private(k)) for k in (2, 5)]
    expected = {name: [call()] * 2 for name, call in tasks}
    barrier = threading.Barrier(8)

    def worker(t):
        barrier.wait()
        order, results = tasks[t:] + tasks[:t], {}  # each thread in its own order, twice
        for name, call in order + order[::-1]:
            results.setdefault(name, []).append(call())
        return results

    with ThreadPoolExecutor(8) as pool:
        assert all(results == expected for results in pool.map(worker, range(8)))


def test_joins_run_in_a_forked_child_of_a_process_that_ran_them():
    """Engine threads are kept between runs; a child of fork() has none of
    them, and its runs must start their own rather than wait forever."""
    support.run_script(
        """
        import os, signal, time
        codes = support.random_codes(20_000, 8, seed=5)
        index = m.Index(8, 4)
        index.add_batch(codes)
        run = lambda: (m.find_pairs_self(codes, 4), [c.tolist() for c in index.query_batch(codes[:50])])
        threads = [threading.Thread(target=run) for _ in range(3)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        expected = run()
        if (pid := os.fork()) == 0:
            os._exit(0 if run() == expected else 3)
        deadline = time.monotonic() + 60
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        if done[0] == 0:
            os.kill(pid, signal.SIGKILL)
            sys.exit("the child's join never finished")
        sys.exit(os.waitstatus_to_exitcode(done[1]))
        """
    )


def test_index_access_rules_while_add_batch_runs():
    """The worker keeps the interpreter lock from `started` until add_batch
    releases it (switch interval raised); this thread, once it has seen the
    conflict, keeps it, so every check below sees the add_batch in progress.
    An attempt where the batch ended first does not count and is tried again."""
    other, row = m.Index(8, 3), support.random_codes(1, 8)[0]
    other.add(row)
    batch = support.random_codes(200_000, 8, seed=1)
    checks = {name: operator.attrgetter(name) for name in ("n", "k", "d_bytes")}
    checks.update(query=lambda ix: ix.query(row), add=lambda ix: ix.add(row), len=len)
    checks["add_batch"] = lambda ix: ix.add_batch(batch[:1])
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


@pytest.mark.parametrize("call", [*map(str, catalog.JOINS + catalog.PLANNED), "Index.add_batch"])
def test_lock_is_released_and_the_array_pinned_during_a_call(call):
    """Another thread resizes the array (refcheck=False) while the call runs. With
    the switch interval raised it gets the lock only when the call releases it
    (after a call that kept it, the resize would succeed), and the pinned buffer
    refuses the resize instead of being freed under the search (a crash). A
    resizer the OS woke only after a short call returned proves nothing, so the
    round is repeated until one lands inside the call."""
    support.run_script(
        f"""
        call = {call!r}
        # 250 groups of equal rows: 10,000 rows for the joins, 400,000 (a longer
        # run) for add_batch
        copies = 1600 if call == "Index.add_batch" else 40
        def codes():
            return np.repeat(np.arange(250, dtype=np.uint8), copies)[:, None].repeat(8, axis=1)
        def search(a):
            if call == "Index.add_batch":
                index = m.Index(8, 2)
                index.add_batch(a)
                return index.query(a[0]), len(index)
            return next(j for j in catalog.JOINS + catalog.PLANNED if str(j) == call)(a, a, 2)
        expected = search(codes())
        inside = []
        for _ in range(50):
            a, go, in_call, outcome = codes(), threading.Event(), [False], []
            def resize():
                go.wait()
                during = in_call[0]
                try:
                    a.resize((1, 8), refcheck=False)
                    outcome.append(("resized", during))
                except ValueError:
                    outcome.append(("refused", during))
            resizer = threading.Thread(target=resize)
            resizer.start()
            sys.setswitchinterval(1000.0)
            go.set()
            in_call[0] = True
            got = search(a)
            in_call[0] = False
            resizer.join()
            sys.setswitchinterval(0.005)
            assert got == expected
            inside += [what for what, during in outcome if during]
            if inside:
                break
        assert inside == ["refused"], inside
        """
    )


def test_writes_during_add_batch_leave_codes_and_tables_in_agreement():
    """A thread flips byte 0 of every row while add_batch runs without the lock.
    With k = 0 a row's only key is the whole row, so whichever version was
    stored, a query of it finds the row (keys read from the caller's buffer
    rather than the copy lost rows)."""
    n = 60_000
    a = np.zeros((n, 8), np.uint8)
    a[:, 1:5] = np.arange(n, dtype="<u4").view(np.uint8).reshape(n, 4)  # distinct rows
    b = a.copy()
    b[:, 0] ^= 0xFF
    batch, done = a.copy(), threading.Event()

    def flip():
        while not done.is_set():
            batch[:, 0] ^= 0xFF

    writer = threading.Thread(target=flip)
    index = m.Index(8, 0)
    writer.start()
    try:
        for _ in range(3):
            index.add_batch(batch)
    finally:
        done.set()
        writer.join()
    found = [(r, 0) in index.query(a[r % n]) or (r, 0) in index.query(b[r % n]) for r in range(len(index))]
    assert all(found)
