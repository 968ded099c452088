"""find_pairs_self against the brute-force reference, its checks and its threads."""

import sys
import threading
import time

import numpy as np
import pytest

import reference
import support
from brimel_native import _brimel_native as m

K_MESSAGE = (
    "brimel: k ({k}) must be < d_bytes ({d}). At k >= d_bytes the byte-aligned chunk brimelhole can "
    "miss pairs. For that regime use faiss.IndexBinaryFlat or a bit-level chunk implementation "
    "(not yet shipped)."
)


@pytest.mark.parametrize(
    "n, d_bytes, k",
    [(0, 8, 3), (1, 8, 3), (2, 1, 0), (500, 1, 0), (800, 2, 1), (1500, 8, 0), (1500, 8, 3),
     (1500, 8, 7), (700, 12, 5), (600, 16, 0), (600, 17, 0), (500, 32, 1), (500, 34, 1),
     (400, 32, 20), (300, 64, 40)],
)
def test_equals_brute_force_on_planted_codes(n, d_bytes, k):
    codes = support.planted_codes(n, d_bytes, k, seed=n + d_bytes + k)
    expected = reference.self_join(codes, k)
    assert m.find_pairs_self(codes, k) == expected
    if n > 100:  # the data must exercise both sides of the bound
        dists = [t[2] for t in reference.self_join(codes, k + 1)]
        assert k in dists and k + 1 in dists


def test_worked_example():
    codes = np.array([[0, 0], [0, 1], [1, 1], [0, 0]], dtype=np.uint8)
    assert m.find_pairs_self(codes, 1) == [(0, 1, 1), (0, 3, 0), (1, 2, 1), (1, 3, 1)]


def test_identical_rows_reported_once_and_results_are_int_tuples():
    codes = np.tile(np.arange(8, dtype=np.uint8), (30, 1))
    result = m.find_pairs_self(codes, 7)
    assert len(result) == 30 * 29 // 2
    assert result == sorted(set(result))
    assert all(type(t) is tuple and len(t) == 3 and all(type(x) is int for x in t) for t in result)


@pytest.mark.parametrize("shape, k", [((5, 8), 8), ((5, 8), 9), ((5, 0), 0), ((0, 0), 0), ((5, 3), 2**32 - 1)])
def test_k_must_be_below_d_bytes(shape, k):
    with pytest.raises(ValueError) as info:
        m.find_pairs_self(np.zeros(shape, dtype=np.uint8), k)
    assert str(info.value) == K_MESSAGE.format(k=k, d=shape[1])


def test_largest_k_runs():
    assert len(m.find_pairs_self(np.zeros((5, 8), dtype=np.uint8), 7)) == 10


BASE = np.arange(48, dtype=np.uint8).reshape(6, 8)


@pytest.mark.parametrize(
    "view",
    [np.asfortranarray(BASE[:3, :4]), BASE[:, ::2], BASE[::-1][:3, :4].copy()[::-1], BASE[::2]],
    ids=["fortran", "column-slice", "reversed", "row-step"],
)
def test_non_contiguous_views_refused(view):
    with pytest.raises(ValueError, match=r"^A must be C-contiguous; pass np.ascontiguousarray\(A\)$"):
        m.find_pairs_self(view, 0)


def test_single_row_of_a_larger_array_accepted():
    assert m.find_pairs_self(BASE[2:3], 1) == []
    assert m.find_pairs_self(BASE[1:5], 7) == reference.self_join(BASE[1:5], 7)


def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


def test_reference_counts_unchanged_after_success_and_errors():
    codes = support.planted_codes(200, 8, 3)
    fortran = np.asfortranarray(codes)
    k = 10**6
    bad_calls = [(fortran, 3), (codes, 8), (codes, -1), (codes, 1.5), (codes,)]
    before = refcounts(codes, fortran, k)
    m.find_pairs_self(codes, 3)
    for bad in bad_calls:
        with pytest.raises((ValueError, TypeError, OverflowError)):
            m.find_pairs_self(*bad)
    with pytest.raises(ValueError):
        m.find_pairs_self(codes, k)
    assert refcounts(codes, fortran, k) == before


def test_concurrent_calls_give_identical_results():
    codes = support.planted_codes(20000, 8, 3, seed=5)
    expected = m.find_pairs_self(codes, 3)
    results = [None] * 6
    barrier = threading.Barrier(len(results))

    def worker(t):
        barrier.wait()
        results[t] = m.find_pairs_self(codes, 3)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results)


def test_lock_released_while_searching():
    # All rows equal: ~8 million candidates, long enough to watch another
    # Python thread advance while the search runs.
    codes = np.zeros((4000, 8), dtype=np.uint8)
    done = threading.Event()
    ticks = []

    def search():
        m.find_pairs_self(codes, 3)
        done.set()

    thread = threading.Thread(target=search)
    thread.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
        time.sleep(0.0005)
    thread.join()
    assert len(ticks) > 3
