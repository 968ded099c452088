"""Every pair of codes within Hamming distance k, on a Dask cluster.

The join is split by the box principle: the code's bits are cut into m >= k + 1
blocks, and a pair within k differs in at most k of them, so it is equal on
the part that any m - k of those blocks make. The engine chooses the cut on a
sample of the first rows, and routes every row of a block once for each of
the first k + 1 blocks, as a record of its row id and code, to the partition
its bits on that block name; rows equal on a part, and so on its first
block, thus meet in one partition, where the engine joins them part by part,
comparing only rows equal on the part. A pair is kept only by the first part
on which its rows agree, so every pair is recorded once and no global
deduplication is needed. The data moved grows linearly with the rows (each
row is sent k + 1 times, 8 bytes of row id and its code in whole 8-byte
words); the work is the local join's with the same parts.

Needs the ``dask`` extra (``pip install brimel_native[dask]``); importing
``brimel_native`` alone never imports Dask.
"""

from __future__ import annotations

import secrets
from typing import Any, Optional

import dask.array as da
import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped]
from dask import delayed

from . import _brimel_pairs
from .pairs import _check_codes, _check_k

__all__ = ["find_pairs", "find_groups"]

# Rows read from the head of ``a`` to choose the parts.
_SAMPLE_ROWS = 65_536


def _dask_codes(array: Any, name: str) -> da.Array:
    _check_codes(array, name, da.Array, "dask.array.Array")
    if any(np.isnan(c) for c in array.chunks[0]):
        raise ValueError(f"{name} must have known chunk sizes (call compute_chunk_sizes() first)")
    # Whole codes in every block: blocks split rows, never a code.
    return array if len(array.chunks[1]) == 1 else array.rechunk({1: -1})


def _checked_block(block: Any, shape: tuple[int, int], name: str) -> npt.NDArray[np.uint8]:
    """A computed block of ``name`` as its array declared it: a NumPy ``uint8``
    array of ``shape``. A block of other columns or bytes would be read as
    codes of the declared width and give wrong pairs."""
    if not isinstance(block, np.ndarray) or block.dtype != np.uint8 or block.shape != shape:
        got = f"{type(block).__name__} {getattr(block, 'dtype', '')} {getattr(block, 'shape', '')}"
        raise ValueError(f"a block of {name} is not the uint8 array of shape {shape} it declared: {got}")
    return block


def _routed(block: Any, first: int, side_b: bool, shape: tuple[int, int], route: tuple) -> tuple:
    """One block's rows, once per part, as records grouped by destination
    partition: (records, route keys or None, offsets), from the engine."""
    block = _checked_block(block, shape, "b" if side_b else "a")
    cut, k, seed, npartitions, keys = route
    return _brimel_pairs.route_rows(
        np.ascontiguousarray(block), first, side_b, cut, k, seed, npartitions, keys
    )


def _pieces(
    block: Any, first: int, side_b: bool, shape: tuple[int, int], route: tuple
) -> list[npt.NDArray[np.uint8]]:
    """One block's records for each destination partition (views of one array)."""
    records, _, offsets = _routed(block, first, side_b, shape, route)
    return [records[offsets[d] : offsets[d + 1]] for d in range(len(offsets) - 1)]


def _records_frame(routed: tuple) -> pd.DataFrame:
    """A routed block as a frame for a Dask shuffle: the route key, and each
    record as 64-bit words w0, w1, ..."""
    records, keys, _ = routed
    words = records.view(np.uint64)
    return pd.DataFrame({"key": keys, **{f"w{w}": words[:, w] for w in range(words.shape[1])}})


def _meta(k: int) -> pd.DataFrame:
    distance = np.uint16 if k <= 0xFFFF else np.uint32
    return pd.DataFrame(
        {"i": np.empty(0, np.int64), "j": np.empty(0, np.int64), "distance": np.empty(0, distance)}
    )


def _join(join: tuple, *pieces: npt.NDArray[np.uint8]) -> pd.DataFrame:
    """The pairs one partition's records (in pieces) give, by the engine, part by part."""
    d_bytes, k, cut, cross = join
    i, j, distance = _brimel_pairs.part_pairs(pieces, d_bytes, k, cut, cross)
    # The engine's fresh arrays, not copied into one block of i and j.
    return pd.DataFrame({"i": i, "j": j, "distance": distance}, copy=False)


def _join_frame(frame: pd.DataFrame, join: tuple) -> pd.DataFrame:
    words = frame[[c for c in frame.columns if c != "key"]].to_numpy(dtype=np.uint64)
    return _join(join, np.ascontiguousarray(words).view(np.uint8))


def _blocks(codes: da.Array) -> list[tuple[Any, int, tuple[int, int]]]:
    """(block, first global row, shape) of each block of ``codes``."""
    starts = np.concatenate([[0], np.cumsum(codes.chunks[0])[:-1]]).astype(np.int64)
    return [
        (block, int(start), (int(rows), int(codes.shape[1])))
        for block, start, rows in zip(codes.to_delayed().ravel(), starts, codes.chunks[0])
    ]


def find_pairs(
    a: da.Array,
    k: int,
    b: Optional[da.Array] = None,
    *,
    npartitions: Optional[int] = None,
    shuffle_method: Optional[str] = None,
) -> dd.DataFrame:
    """Every pair of rows within Hamming distance ``k``, exactly, as a lazy Dask DataFrame.

    ``a`` (and ``b``) are ``dask.array`` arrays of ``uint8`` codes, shape
    ``(n, d_bytes)``, chunked along rows with known chunk sizes. With ``b``
    None, the self-join of ``a`` (pairs ``i < j``); otherwise every row ``i``
    of ``a`` against every row ``j`` of ``b``. ``0 <= k < 8 * d_bytes``.

    Returns a Dask DataFrame with columns ``i`` and ``j`` (``int64``, global
    row ids) and ``distance`` (``uint16``; ``uint32`` when k > 65535): the same
    pairs as ``brimel_native.find_pairs`` on the computed arrays, each once, in
    no particular order (sort by ``["i", "j"]`` for the local order). Nothing
    runs until the frame is computed or written, e.g. with ``.to_parquet()``.

    One exchange sends every row k + 1 times, once per route, into
    ``npartitions`` partitions (default: the number of input blocks). With
    ``shuffle_method`` None (the default) the records travel as NumPy arrays:
    each block is split into one piece per partition and each partition joins
    its pieces, all in memory. With ``shuffle_method`` "p2p", "tasks" or
    "disk" they go through that Dask DataFrame shuffle instead ("p2p" holds
    them on the workers' disks). The parts are chosen on the first rows of
    ``a``, which are computed here, before the frame is returned.
    """
    a = _dask_codes(a, "a")
    b = None if b is None else _dask_codes(b, "b")
    k = _check_k(k, a, b)
    d_bytes = a.shape[1]
    if npartitions is None:
        npartitions = a.numblocks[0] + (0 if b is None else b.numblocks[0])
    if isinstance(npartitions, bool) or not isinstance(npartitions, (int, np.integer)) or npartitions < 1:
        raise ValueError(f"npartitions must be a positive int, not {npartitions!r}")
    npartitions = int(npartitions)

    sample = a[:_SAMPLE_ROWS]
    rows = a.shape[0] + (0 if b is None else b.shape[0])
    cut = _brimel_pairs.spread_cut(_checked_block(np.asarray(sample.compute()), sample.shape, "a"), k, rows)
    # The route keys' seed: the same in every task of this join, unknown to
    # whoever chose the codes.
    seed = secrets.randbits(64)
    join = (d_bytes, k, cut, b is not None)
    blocks = [(block, first, shape, False) for block, first, shape in _blocks(a)]
    if b is not None:
        blocks += [(block, first, shape, True) for block, first, shape in _blocks(b)]
    if shuffle_method is None:
        route = (cut, k, seed, npartitions, False)
        pieces = [
            delayed(_pieces, nout=npartitions)(block, first, side_b, shape, route)
            for block, first, shape, side_b in blocks
        ]
        joined = [delayed(_join)(join, *[p[d] for p in pieces]) for d in range(npartitions)]
        return dd.from_delayed(joined, meta=_meta(k), verify_meta=False)
    route = (cut, k, seed, 1, True)
    words = 1 + -(-d_bytes // 8)
    frames = dd.from_delayed(
        [
            delayed(_records_frame)(delayed(_routed)(block, first, side_b, shape, route))
            for block, first, shape, side_b in blocks
        ],
        meta=pd.DataFrame(
            {"key": np.empty(0, np.uint32), **{f"w{w}": np.empty(0, np.uint64) for w in range(words)}}
        ),
        verify_meta=False,
    )
    shuffled = frames.shuffle(on="key", npartitions=npartitions, shuffle_method=shuffle_method)
    return shuffled.map_partitions(_join_frame, join, meta=_meta(k), align_dataframes=False)


def _components(n: int, i: npt.NDArray[np.int64], j: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """The lowest row of each row's component of the graph on rows 0..n-1 with
    edges (i, j): roots hook to the smaller of two roots an edge joins, then
    pointers jump to their roots, until no edge joins two roots. A root only
    ever hooks to a smaller id, so each component ends at its lowest row."""
    labels = np.arange(n, dtype=np.int64)
    while True:
        li, lj = labels[i], labels[j]
        apart = li != lj
        if not apart.any():
            return labels
        np.minimum.at(labels, np.maximum(li, lj)[apart], np.minimum(li, lj)[apart])
        while True:
            jumped = labels[labels]
            if np.array_equal(jumped, labels):
                break
            labels = jumped


def _forest(pairs: pd.DataFrame) -> pd.DataFrame:
    """A partition's pairs cut to a spanning forest of the rows they join: one
    edge (row, lowest row of its component) per row, however many pairs."""
    rows, inverse = np.unique(
        np.concatenate([pairs["i"].to_numpy(), pairs["j"].to_numpy()]), return_inverse=True
    )
    half = len(pairs)
    lowest = rows[_components(len(rows), inverse[:half], inverse[half:])]
    keep = lowest != rows
    return pd.DataFrame({"i": lowest[keep], "j": rows[keep]})


def find_groups(a: da.Array, k: int, **options: Any) -> npt.NDArray[np.int64]:
    """The group of every row of ``a``, as ``brimel_native.find_groups`` gives it.

    The pairs are found on the cluster by ``find_pairs(a, k, **options)``;
    each partition cuts its pairs to at most one edge per row, and the groups
    are formed here from those edges. It fits where this process holds 16
    bytes per row of ``a`` and per edge. Returns an ``int64`` array of
    length n: the lowest row of each row's group.
    """
    pairs = find_pairs(a, k, **options)
    edges = pairs.map_partitions(
        _forest, meta=pd.DataFrame({"i": np.int64(0), "j": np.int64(0)}, index=[])
    ).compute()
    return _components(a.shape[0], edges["i"].to_numpy(np.int64), edges["j"].to_numpy(np.int64))
