"""The Bank against the reference: adds, removes, saves and opens interleaved;
readers on other threads while it is written; its refusals; files of the
earlier format. (Segments and merges at small sizes: the engine tests.)"""

from __future__ import annotations

import threading
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference
import support
from brimel_native import Bank, Index

DATA = Path(__file__).parent / "data"


def expected(queries, codes, live, k):
    ids = np.flatnonzero(live)
    return [(i, int(ids[j]), dist) for i, j, dist in reference.cross_join(queries, codes[ids], k)]


def triples(pairs):
    return list(zip(pairs.i.tolist(), pairs.j.tolist(), pairs.distance.tolist()))


STEPS = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.integers(1, 5000)),
        st.tuples(st.just("remove"), st.floats(0, 1)),
        st.tuples(st.just("reopen"), st.booleans()),
        st.tuples(st.just("compact"), st.none()),
    ),
    min_size=1,
    max_size=6,
)


@settings(max_examples=15, deadline=None)
@given(steps=STEPS, d_bytes=st.sampled_from([8, 32]), seed=st.integers(0, 2**16))
def test_adds_removes_and_reopens_answer_as_the_reference(steps, d_bytes, seed, tmp_path_factory):
    k = 3 if d_bytes == 8 else 31
    pool = support.planted(20000, d_bytes, k, seed=seed)[0]
    rng = np.random.default_rng(seed)
    bank, live, n = Bank(d_bytes, k), np.zeros(0, bool), 0
    path = tmp_path_factory.mktemp("bank") / "b.bank"
    for step, value in steps:
        if step == "add":
            assert bank.add_batch(pool[n : n + value]) == n
            n += value
            live = np.concatenate([live, np.ones(value, bool)])
        elif step == "remove" and n:
            ids = rng.choice(n, size=int(value * n) // 2 + 1)
            assert bank.remove(ids) == np.count_nonzero(live[np.unique(ids)])
            live[ids] = False
        elif step == "reopen":
            bank.save(path)
            bank = Bank.open(path, mmap=value)
        elif step == "compact":
            bank.compact()
        assert (bank.n, bank.live) == (n, np.count_nonzero(live))
    queries = np.concatenate([pool[: min(n, 300) : 3], support.random_codes(20, d_bytes, seed=seed)])
    want = expected(queries, pool[:n], live, k)
    assert triples(bank.query_batch(queries)) == want
    assert [(0, j, dist) for j, dist in bank.query(queries[0])] == [w for w in want if w[0] == 0]


def test_readers_see_whole_states_while_it_is_written():
    d_bytes, k = 32, 31
    codes = support.planted(60000, d_bytes, k, seed=3)[0]
    bank = Bank(d_bytes, k)
    bank.add_batch(codes[:1000])
    probes = codes[:1000:50]
    truth = [set(reference.cross_join(probes[i : i + 1], codes, k)) for i in range(len(probes))]
    stop, failures = time.monotonic() + 20, []

    def read():
        while not done.is_set() and time.monotonic() < stop:
            for i, row in enumerate(probes):
                hits = bank.query(row)
                # Rows 0..999 are never removed: always there; every hit is a true one.
                if not {(0, j, dist) for j, dist in hits} <= truth[i] or (0, i * 50, 0) not in {
                    (0, j, dist) for j, dist in hits
                }:
                    failures.append((i, hits))

    done = threading.Event()
    readers = [threading.Thread(target=read) for _ in range(2)]
    for reader in readers:
        reader.start()
    for first in range(1000, 60000, 5900):
        bank.add_batch(codes[first : first + 5900])
        bank.remove(np.arange(first, first + 5900, 7))
        if first % 3 == 0:
            bank.compact()
    done.set()
    for reader in readers:
        reader.join()
    assert failures == []


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: Bank(0, 0), ValueError, "Bank: d_bytes must be >= 1"),
        (lambda: Bank(1, 8), ValueError, r"Bank: k \(8\) must be < 8\*d_bytes \(8\)"),
        (lambda: Bank(2**61 + 1, 0), ValueError, "must be < 8"),
        (lambda: FILLED.remove([1, 10]), ValueError, r"id 10 was never issued \(ids issued: 10\)"),
        (lambda: FILLED.remove([-1]), ValueError, "ids must be >= 0"),
        (
            lambda: FILLED.query(np.zeros(8, np.uint8), k=4),
            ValueError,
            r"k \(4\) must be <= the bank's k \(3\)",
        ),
        (lambda: FILLED.add_batch(np.zeros((2, 9), np.uint8)), ValueError, r"got shape \[2, 9\]"),
        (
            lambda: FILLED.add_batch(np.zeros((2, 16), np.uint8)[:, ::2]),
            ValueError,
            "^batch must be C-contiguous$",
        ),
        (lambda: Bank.open(DATA), IsADirectoryError, "Is a directory"),
    ],
)
def test_refusals_change_nothing(call, error, text):
    with pytest.raises(error, match=text):
        call()
    assert (FILLED.n, FILLED.live) == (10, 10)


FILLED = Bank(8, 3)
FILLED.add_batch(support.random_codes(10, 8, seed=1))


@pytest.mark.parametrize("opener", [Index.load, lambda p: Bank.open(p, mmap=False), Bank.open])
def test_files_of_the_earlier_format_still_load(opener):
    codes = np.load(DATA / "index_v1_codes.npy")
    loaded = opener(DATA / "index_v1.bin")
    assert triples(loaded.query_batch(codes)) == reference.cross_join(codes, codes, 5)


@pytest.mark.parametrize("d_bytes, k, flavour", [(8, 3, "random"), (8, 5, "skewed"), (32, 31, "random")])
def test_large_segments_answer_a_batch_at_once_as_query_by_query(d_bytes, k, flavour):
    # 70,000 rows added at once make one segment large enough to be searched
    # for a whole batch at a time; the Index shares the engine.
    codes = support.planted(70_000, d_bytes, k, flavour, seed=5)[0]
    queries = np.concatenate([codes[:: 70_000 // 150], support.random_codes(50, d_bytes, seed=6)])
    live = np.ones(len(codes), bool)
    live[::3] = False
    bank, index = Bank(d_bytes, k), Index(d_bytes, k)
    bank.add_batch(codes)
    index.add_batch(codes)
    bank.remove(np.flatnonzero(~live))
    for bound in (k, k // 2):
        got = triples(bank.query_batch(queries, bound))
        assert got == expected(queries, codes, live, bound)
        assert got == [(i, j, dist) for i, row in enumerate(queries) for j, dist in bank.query(row, bound)]
    assert triples(index.query_batch(queries)) == expected(queries, codes, np.ones(len(codes), bool), k)
