"""An Index under use from several threads: add_batch holds its exclusive use
while the interpreter lock is released, and conflicting calls fail at once."""

from __future__ import annotations

import threading

import pytest

import reference
import support
from brimel_native import _brimel_native as native


def _error(call) -> str:
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return "no error"


def _conflicts_during_a_long_batch(rows: int):
    """Runs add_batch of `rows` codes on one thread and, while it runs, every
    conflicting call on another. Returns None when the batch ended before the
    last check (the observations then prove nothing), else the observations."""
    big = support.random_codes(rows, 8, seed=11)
    index = native.Index(8, 7)
    index.add_batch(big[:3])
    other = native.Index(8, 7)
    other_rows = support.planted_codes(100, 8, 7, seed=12)
    started = threading.Event()
    result = {}

    def writer():
        started.set()
        result["first"] = index.add_batch(big[3:])

    thread = threading.Thread(target=writer)
    thread.start()
    started.wait()
    while _error(lambda: index.n) != "Already mutably borrowed":
        if not thread.is_alive():
            thread.join()
            return None
    seen = {
        "query": _error(lambda: index.query(big[0])),
        "n": _error(lambda: index.n),
        "k": _error(lambda: index.k),
        "d_bytes": _error(lambda: index.d_bytes),
        "len": _error(lambda: len(index)),
        "add": _error(lambda: index.add(big[0])),
        "add_batch": _error(lambda: index.add_batch(big[:2])),
        "empty add_batch": _error(lambda: index.add_batch(big[:0])),
        "other add_batch": other.add_batch(other_rows),
        "other query": other.query(other_rows[1]),
        "module function": native.find_pairs_self(other_rows, 2) is not None,
    }
    # The exclusive use is taken once and ended once: still held now means it
    # was held for every call above.
    still_running = _error(lambda: index.n) == "Already mutably borrowed"
    thread.join()
    if not still_running:
        return None
    seen["expected other query"] = [(j, d) for q, j, d in reference.cross_join(other_rows[1:2], other_rows, 7)]
    return index, big, result["first"], seen


def test_conflicting_calls_fail_at_once_while_add_batch_runs():
    for rows in (2_000_000, 4_000_000, 8_000_000):
        outcome = _conflicts_during_a_long_batch(rows)
        if outcome is not None:
            break
    else:
        pytest.fail("add_batch never outlasted the conflicting calls")
    index, big, first, seen = outcome
    for name in ("query", "n", "k", "d_bytes", "len"):
        assert seen[name] == "Already mutably borrowed", name
    for name in ("add", "add_batch", "empty add_batch"):
        assert seen[name] == "Already borrowed", name
    assert seen["other add_batch"] == 0
    assert seen["other query"] == seen["expected other query"]
    assert seen["module function"]

    # The refused calls changed nothing; the batch went in whole.
    assert first == 3
    assert index.n == len(index) == len(big)
    assert (5, 0) in index.query(big[5])
    assert index.add(big[0]) == len(big)


def test_index_moves_between_threads():
    codes = support.planted_codes(300, 16, 4, seed=3)
    index = native.Index(16, 4)
    errors = []

    def fill(part):
        try:
            index.add_batch(part)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    for part in (codes[:100], codes[100:200], codes[200:]):
        thread = threading.Thread(target=fill, args=(part,))
        thread.start()
        thread.join()
    assert errors == []
    answers = {}

    def read(q):
        answers[q] = index.query(codes[q])

    threads = [threading.Thread(target=read, args=(q,)) for q in range(0, 300, 7)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    expected = reference.cross_join(codes, codes, 4)
    for q, hits in answers.items():
        assert hits == [(j, d) for i, j, d in expected if i == q]
