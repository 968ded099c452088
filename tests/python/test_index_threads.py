"""An Index used from several threads: add_batch keeps its exclusive use while
the interpreter lock is released, and conflicting calls fail at once."""

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


def _calls_during_a_long_batch(rows: int):
    """Runs add_batch of `rows` codes on a second thread and every conflicting
    call on this one meanwhile. None when the batch ended before the last call
    (the observations would prove nothing)."""
    big = support.random_codes(rows, 8, seed=11)
    index = native.Index(8, 7)
    index.add_batch(big[:3])
    other = native.Index(8, 7)
    other_rows = support.planted_codes(100, 8, 7, seed=12)
    first = []
    writer = threading.Thread(target=lambda: first.append(index.add_batch(big[3:])))
    writer.start()
    while _error(lambda: index.n) != "Already mutably borrowed":
        if not writer.is_alive():
            writer.join()
            return None
    seen = {
        "query": _error(lambda: index.query(big[0])),
        "k": _error(lambda: index.k),
        "d_bytes": _error(lambda: index.d_bytes),
        "len": _error(lambda: len(index)),
        "add": _error(lambda: index.add(big[0])),
        "add_batch": _error(lambda: index.add_batch(big[:0])),
        "other": (other.add_batch(other_rows), other.query(other_rows[1])),
    }
    # The exclusive use is taken once and ended once: still held now means it
    # was held for every call above.
    held_throughout = _error(lambda: index.n) == "Already mutably borrowed"
    writer.join()
    return (index, big, first[0], seen) if held_throughout else None


def test_conflicting_calls_fail_at_once_while_add_batch_runs():
    outcome = next(filter(None, map(_calls_during_a_long_batch, (2_000_000, 4_000_000, 8_000_000))), None)
    if outcome is None:
        pytest.fail("add_batch never outlasted the conflicting calls")
    index, big, first, seen = outcome
    for name in ("query", "k", "d_bytes", "len"):
        assert seen[name] == "Already mutably borrowed", name
    assert seen["add"] == seen["add_batch"] == "Already borrowed"
    other_rows = support.planted_codes(100, 8, 7, seed=12)
    assert seen["other"] == (0, [(j, d) for _, j, d in reference.cross_join(other_rows[1:2], other_rows, 7)])
    # The refused calls changed nothing; the batch went in whole.
    assert first == 3 and index.n == len(index) == len(big)
    assert (5, 0) in index.query(big[5])
    assert index.add(big[0]) == len(big)


def test_index_moves_between_threads():
    codes = support.planted_codes(300, 16, 4, seed=3)
    index = native.Index(16, 4)
    answers = {}

    def run(target, *args):
        thread = threading.Thread(target=target, args=args)
        thread.start()
        return thread

    for part in (codes[:100], codes[100:200], codes[200:]):
        run(index.add_batch, part).join()
    readers = [run(lambda q: answers.__setitem__(q, index.query(codes[q])), q) for q in range(0, 300, 7)]
    for reader in readers:
        reader.join()
    expected = reference.cross_join(codes, codes, 4)
    assert index.n == 300 and len(answers) == len(readers)
    for q, hits in answers.items():
        assert hits == [(j, d) for i, j, d in expected if i == q]
