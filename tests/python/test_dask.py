"""brimel_native.dask.find_pairs on a cluster of worker processes, against the
local find_pairs: the same pairs, whatever the blocks, the partitions, the data's
shape or a worker dying mid-run."""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from support import planted

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import brimel_native  # noqa: E402
from brimel_native import dask as brimel_dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Engine pools of one thread each: as many as each worker's threads.
    options = dict(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    cluster = distributed.LocalCluster(env={"RAYON_NUM_THREADS": "1"}, **options)
    with cluster, distributed.Client(cluster) as client:
        yield client


def codes_with_clusters(n, d_bytes, k, flavour, seed):
    """Planted codes plus exact-duplicate clusters of 2 to 40 rows."""
    codes, _, _ = planted(n, d_bytes, k, flavour, seed)
    rng = np.random.default_rng(seed)
    for start in range(0, n // 4, 40):
        size = int(rng.integers(2, 41))
        codes[start + 1 : start + size] = codes[start]
    return codes[rng.permutation(n)]


def assert_same_pairs(frame, codes, k, b=None):
    got = frame.compute().sort_values(["i", "j"])
    want = brimel_native.find_pairs(codes, k, b)
    assert dict(got.dtypes) == {"i": np.int64, "j": np.int64, "distance": want.distance.dtype}
    for name in ("i", "j", "distance"):
        np.testing.assert_array_equal(got[name].to_numpy(), getattr(want, name))


@pytest.mark.parametrize(
    "flavour, d_bytes, k, blocks, b_blocks, npartitions, method",
    [
        ("random", 8, 0, (700, 700, 600), None, None, None),
        ("random", 8, 3, (1, 1500, 0, 499), None, 7, None),
        ("skewed", 8, 5, (1000, 1000), None, 1, "tasks"),
        ("equal", 4, 2, (300, 1700), None, None, None),
        ("constant", 32, 9, (50, 950, 1000), None, 3, "p2p"),
        ("skewed", 8, 4, (200, 1000), (1, 700, 0, 99), 2, None),
        ("random", 8, 4, (500, 500), (300, 0, 300), 3, "tasks"),
        # k near the width: parts of one bit; past the planner's part counts.
        ("random", 2, 14, (150, 150), None, 2, None),
        ("random", 160, 1100, (90, 60), (40,), 2, None),
    ],
)
def test_matches_local(client, flavour, d_bytes, k, blocks, b_blocks, npartitions, method):
    codes = codes_with_clusters(sum(blocks) + sum(b_blocks or ()), d_bytes, k, flavour, seed=k)
    a, b = codes[: sum(blocks)], None if b_blocks is None else codes[sum(blocks) :]
    frame = brimel_dask.find_pairs(
        da.from_array(a, chunks=(blocks, (d_bytes,))),
        k,
        None if b is None else da.from_array(b, chunks=(b_blocks, (d_bytes,))),
        npartitions=npartitions,
        shuffle_method=method,
    )
    assert_same_pairs(frame, a, k, b)


def cut_of(blocks, r):
    """spread_cut's bytes for the block of each bit and r blocks per part."""
    return np.append(np.asarray(blocks, np.int64), r).tobytes()


@pytest.mark.parametrize(
    "flavour, d_bytes, k, rows, total",
    [
        ("random", 8, 3, 5000, 5000),
        ("uniform", 8, 3, 65536, 10**7),
        ("constant", 32, 9, 3000, 3000),
        ("equal", 4, 2, 1, 1),
        ("skewed", 2, 15, 0, 0),
    ],
)
def test_cut_blocks_hold_bits_and_route_k_plus_1_times(flavour, d_bytes, k, rows, total):
    # Constant bits, a sample of one row or none: still blocks that each hold
    # bits, r = m - k of them per part, or rows equal on no part's bits would
    # share every partition; for 10M uniform rows, parts of several blocks.
    if flavour == "uniform":
        sample = np.random.default_rng(1).integers(0, 256, (rows, d_bytes), np.uint8)
    else:
        sample = codes_with_clusters(max(rows, 1), d_bytes, k, flavour, seed=1)[:rows]
    words = np.frombuffer(brimel_dask._brimel_pairs.spread_cut(sample, k, total), np.int64)
    blocks, r = words[:-1], int(words[-1])
    assert blocks.shape == (8 * d_bytes,)
    m = int(blocks.max()) + 1
    assert set(blocks) - {-1} == set(range(m)) and r == m - k
    assert r > 1 or flavour != "uniform"


# Cuts made by hand: one block per part; 2 of 5 and 3 of 6 blocks (routes of
# 4, 3, 2, 1 and 10, 6, 3, 1 parts); blocks of interleaved bits.
HAND_CUTS = {
    "k + 1 blocks": (8, 3, np.repeat(np.arange(4), 16), 1),
    "2 of 5": (8, 3, np.minimum(np.arange(64) // 13, 4), 2),
    "3 of 6": (8, 3, np.minimum(np.arange(64) // 11, 5), 3),
    "interleaved 2 of 4": (5, 2, np.where(np.arange(40) % 9 == 8, -1, np.arange(40) % 4), 2),
}


def mixed_up(pieces, seed):
    """The first piece as routed, the others' records shuffled together (as a
    DataFrame shuffle may leave them) and cut in two."""
    if len(pieces) < 2:
        return pieces
    rest = np.concatenate(pieces[1:])
    rest = rest[np.random.default_rng(seed).permutation(len(rest))]
    return [pieces[0], rest[: len(rest) // 2], rest[len(rest) // 2 :]]


@pytest.mark.parametrize("shuffled", [False, True])
@pytest.mark.parametrize("partitions", [1, 3])
@pytest.mark.parametrize("cut", HAND_CUTS)
def test_routed_blocks_join_as_locally(cut, partitions, shuffled):
    # Without a cluster: blocks of A, and of A and B, routed (codes padded to
    # whole words when d_bytes is 5), each partition joined from its pieces,
    # in the order routing wrote them or mixed up.
    d_bytes, k, blocks, r = HAND_CUTS[cut]
    codes = codes_with_clusters(1200, d_bytes, k, "skewed", seed=3)
    a, b, spread, cut_bytes = codes[:700], codes[700:], brimel_dask._brimel_pairs, cut_of(blocks, r)
    for pieces, other in (
        (((a[:300], 0, False), (a[300:], 300, False)), None),
        (((a[:300], 0, False), (a[300:], 300, False), (b, 0, True)), b),
    ):
        routed = [
            spread.route_rows(x.copy(), first, side, cut_bytes, k, 9, partitions) for x, first, side in pieces
        ]
        assert all(len(r[0]) == (k + 1) * len(x[0]) for r, x in zip(routed, pieces))
        found = []
        for d in range(partitions):
            records = [r[0][r[2][d] : r[2][d + 1]] for r in routed]
            records = mixed_up(records, d) if shuffled else records
            found.append(spread.part_pairs(records, d_bytes, k, cut_bytes, other is not None))
        got = sorted(zip(*(np.concatenate(column).tolist() for column in zip(*found))))
        want = brimel_native.find_pairs(a, k, other)
        assert got == sorted(zip(want.i.tolist(), want.j.tolist(), want.distance.tolist()))


def test_partition_joins_at_once_match_one_by_one():
    # A worker of several threads joins partitions at once: each join works
    # in buffers of its own, kept for later joins, never shared.
    d_bytes, k, blocks, r = HAND_CUTS["2 of 5"]
    codes = codes_with_clusters(6000, d_bytes, k, "skewed", seed=5)
    spread, cut_bytes = brimel_dask._brimel_pairs, cut_of(blocks, r)
    records, _, offsets = spread.route_rows(codes, 0, False, cut_bytes, k, 9, 8)

    def join(d):
        i, j, distance = spread.part_pairs(
            [records[offsets[d] : offsets[d + 1]]], d_bytes, k, cut_bytes, False
        )
        return sorted(zip(i.tolist(), j.tolist(), distance.tolist()))

    one_by_one = [join(d) for d in range(8)]
    assert sum(map(len, one_by_one)) > 1000
    order = [7, 0, 6, 1, 5, 2, 4, 3]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(4):
            assert list(pool.map(join, order)) == [one_by_one[d] for d in order]


def test_partition_join_refuses_bad_records_and_cuts():
    codes = np.zeros((4, 8), np.uint8)
    cut = brimel_dask._brimel_pairs.spread_cut(codes, 3, 4)
    records, _, _ = brimel_dask._brimel_pairs.route_rows(codes, 0, False, cut, 3, 1, 2)
    pairs = brimel_dask._brimel_pairs.part_pairs
    with pytest.raises(ValueError, match="bytes each"):
        pairs([records[:, :8].copy()], 8, 3, cut, False)
    with pytest.raises(ValueError, match="one int64 per code bit"):
        pairs([records], 8, 3, cut[8:], False)
    with pytest.raises(ValueError, match="1 <= r <= m - k, not r = 1 of m = 4 at k = 4"):
        pairs([records], 8, 4, cut, False)
    with pytest.raises(ValueError, match="r = 3 of m = 5"):  # 3 of 5 blocks: a pair may differ in all
        pairs([records], 8, 3, cut_of(np.arange(64) % 5, 3), False)
    with pytest.raises(ValueError, match="every block"):
        pairs([records], 8, 3, cut_of(np.arange(64) % 5 * 2, 1), False)
    with pytest.raises(ValueError, match="at most 64 parts"):
        pairs([records], 8, 1, cut_of(np.arange(64) % 8, 4), False)
    with pytest.raises(OverflowError, match="below 2\\^61"):  # ids and the route share 63 bits
        brimel_dask._brimel_pairs.route_rows(codes, 2**61 - 3, False, cut, 3, 1, 2)


@pytest.mark.parametrize("k", [0, 4])
def test_groups_match_local(client, k):
    codes = codes_with_clusters(3000, 8, k, "skewed", seed=5)
    labels = brimel_dask.find_groups(da.from_array(codes, chunks=((1000, 1500, 500), (8,))), k)
    np.testing.assert_array_equal(labels, brimel_native.find_groups(codes, k))


def dies_once(block, armed, died, block_info=None):
    # Once armed, the last block's first attempt kills its worker process while
    # the other blocks are already in the shuffle; the nanny starts a new one
    # and the scheduler runs the task again.
    last = block_info[0]["num-chunks"][0] - 1
    if block_info[0]["chunk-location"][0] == last and os.path.exists(armed) and not os.path.exists(died):
        open(died, "w").close()
        time.sleep(0.5)
        os._exit(1)
    return block


def test_worker_death_mid_run_gives_the_same_pairs(client, tmp_path):
    codes = codes_with_clusters(4000, 8, 3, "random", seed=7)
    array = da.from_array(codes, chunks=((1000, 1000, 1000, 1000), (8,)))
    armed, died = str(tmp_path / "armed"), str(tmp_path / "died")
    frame = brimel_dask.find_pairs(array.map_blocks(dies_once, armed, died, dtype=np.uint8), 3)
    open(armed, "w").close()  # after the sample of the first rows, before the join runs
    assert_same_pairs(frame, codes, 3)
    assert os.path.exists(died)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a: brimel_dask.find_pairs(a.compute(), 1), TypeError),
        (lambda a: brimel_dask.find_pairs(a.astype(np.uint16), 1), TypeError),
        (lambda a: brimel_dask.find_pairs(a, 64), ValueError),
        (lambda a: brimel_dask.find_pairs(a, 1, a[:, :4]), ValueError),
        (lambda a: brimel_dask.find_pairs(a, 1, npartitions=0), ValueError),
        (lambda a: brimel_dask.find_pairs(a[a[:, 0] > 0], 1), ValueError),  # unknown block sizes
        # Blocks that are not what their array declares: one column of eight, other bytes.
        (lambda a: brimel_dask.find_pairs(a.map_blocks(lambda x: x[:, :1]), 1).compute(), ValueError),
        (lambda a: brimel_dask.find_pairs(a, 1, a.map_blocks(lambda x: x[:, :1])).compute(), ValueError),
        (
            lambda a: brimel_dask.find_pairs(
                a, 1, a.map_blocks(lambda x: x.view(np.int8), dtype=np.uint8)
            ).compute(),
            ValueError,
        ),
    ],
)
def test_rejects_bad_arguments(call, error):
    with pytest.raises(error):
        call(da.zeros((10, 8), dtype=np.uint8, chunks=5))
