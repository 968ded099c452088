"""Every pair of codes within Hamming distance k, on a Dask cluster.

The join is split by the box principle with k + 1 parts of threshold 0: a pair
within k differs in at most k bits, so some part holds none of them and the
two rows have the same value on it. Every row is copied once per part with a
key of the part's bits, and one shuffle on that key brings rows with equal
bits on a part into one partition, where the engine joins them part by part,
comparing only rows equal on the part. A pair is kept only by the first part
on which its rows agree, so every pair is recorded once and no global
deduplication is needed. The data moved grows linearly with the rows (each
row is sent k + 1 times); the work is the local join's with the same parts.

Needs the ``dask`` extra (``pip install brimel_native[dask]``); importing
``brimel_native`` alone never imports Dask.
"""

from __future__ import annotations

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

# Rows read from the head of ``a`` to measure each bit's entropy before
# dealing bits to parts.
_SAMPLE_ROWS = 65_536


def _dask_codes(array: Any, name: str) -> da.Array:
    _check_codes(array, name, da.Array, "dask.array.Array")
    if any(np.isnan(c) for c in array.chunks[0]):
        raise ValueError(f"{name} must have known chunk sizes (call compute_chunk_sizes() first)")
    # Whole codes in every block: blocks split rows, never a code.
    return array if len(array.chunks[1]) == 1 else array.rechunk({1: -1})


def _part_masks(sample: npt.NDArray[np.uint8], k: int) -> npt.NDArray[np.uint8]:
    """The k + 1 parts of threshold 0 as byte masks, shape (k + 1, d_bytes).

    Bits are dealt to parts by their entropy on ``sample`` (rows of codes),
    highest first, each to the part with the least entropy so far among those
    not yet full, so that every part key splits the rows about as finely.
    Parts are disjoint, cover every bit and differ in width by at most one bit.
    """
    bits = 8 * sample.shape[1]
    ones = np.unpackbits(sample, axis=1).mean(axis=0) if sample.shape[0] else np.full(bits, 0.5)
    with np.errstate(divide="ignore", invalid="ignore"):
        entropy = np.nan_to_num(-(ones * np.log2(ones) + (1 - ones) * np.log2(1 - ones)))
    parts = k + 1
    room = np.full(parts, bits // parts) + (np.arange(parts) < bits % parts)
    total = np.zeros(parts)
    owner = np.empty(bits, dtype=np.int64)
    for bit in np.argsort(-entropy, kind="stable"):
        open_parts = np.flatnonzero(room)
        p = open_parts[np.argmin(total[open_parts])]
        owner[bit] = p
        room[p] -= 1
        total[p] += entropy[bit]
    return np.packbits(owner[None, :] == np.arange(parts)[:, None], axis=1)


def _words(codes: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint64]:
    """Codes (m, d_bytes) as (m, ceil(d_bytes / 8)) 64-bit words, zero-padded."""
    m, d_bytes = codes.shape
    padded = np.zeros((m, -(-d_bytes // 8) * 8), dtype=np.uint8)
    padded[:, :d_bytes] = codes
    return padded.view(np.uint64)


def _word_columns(d_bytes: int) -> list[str]:
    return [f"w{w}" for w in range(-(-d_bytes // 8))]


def _checked_block(block: Any, shape: tuple[int, int], name: str) -> npt.NDArray[np.uint8]:
    """A computed block of ``name`` as its array declared it: a NumPy ``uint8``
    array of ``shape``. A block of other columns or bytes would be read as
    codes of the declared width and give wrong pairs."""
    if not isinstance(block, np.ndarray) or block.dtype != np.uint8 or block.shape != shape:
        got = f"{type(block).__name__} {getattr(block, 'dtype', '')} {getattr(block, 'shape', '')}"
        raise ValueError(f"a block of {name} is not the uint8 array of shape {shape} it declared: {got}")
    return block


def _rows_frame(
    block: npt.NDArray[np.uint8], first: int, cross_side: bool, shape: tuple[int, int]
) -> pd.DataFrame:
    """One block as a frame of (row, w0, w1, ...): global row ids (rows of ``b``
    stored as ``~j``, so that both sides share one frame) and the code words."""
    block = _checked_block(block, shape, "b" if cross_side else "a")
    rows = np.arange(first, first + block.shape[0], dtype=np.int64)
    frame = {"row": ~rows if cross_side else rows}
    words = _words(np.ascontiguousarray(block))
    for w, column in enumerate(_word_columns(block.shape[1])):
        frame[column] = words[:, w]
    return pd.DataFrame(frame)


def _part_type(parts: int) -> type[np.unsignedinteger[Any]]:
    return np.uint16 if parts <= 0x10000 else np.uint32


def _keyed(frame: pd.DataFrame, part_words: npt.NDArray[np.uint64]) -> pd.DataFrame:
    """The rows once per part, with columns "part" and "key", a 32-bit hash of the
    part number and the part's bits: rows with equal part bits get equal keys;
    unequal bits may share a key, which only puts more rows in one partition
    (the local join checks the bits themselves)."""
    parts, m = part_words.shape[0], len(frame)
    columns = _word_columns(8 * part_words.shape[1])
    words = frame[columns].to_numpy(dtype=np.uint64)
    key = np.repeat(np.arange(1, parts + 1, dtype=np.uint64)[:, None], m, axis=1)  # (parts, m)
    with np.errstate(over="ignore"):
        for w in range(len(columns)):
            key = (key ^ (words[None, :, w] & part_words[:, w, None])) * np.uint64(0x9E3779B97F4A7C15)
        key ^= key >> np.uint64(32)
    keyed = {"row": np.tile(frame["row"].to_numpy(), parts)}
    keyed.update({column: np.tile(words[:, w], parts) for w, column in enumerate(columns)})
    keyed["part"] = np.repeat(np.arange(parts, dtype=_part_type(parts)), m)
    keyed["key"] = key.ravel().astype(np.uint32)
    return pd.DataFrame(keyed)


def _meta(k: int) -> pd.DataFrame:
    distance = np.uint16 if k <= 0xFFFF else np.uint32
    return pd.DataFrame(
        {"i": np.empty(0, np.int64), "j": np.empty(0, np.int64), "distance": np.empty(0, distance)}
    )


def _part_pairs(
    rows: npt.NDArray[np.int64],
    words: npt.NDArray[np.uint64],
    k: int,
    part: int,
    masks: npt.NDArray[np.uint8],
    d_bytes: int,
    cross: bool,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[Any]]:
    """The pairs among rows (global ids, codes as (m, W) words) that part ``part``
    records: within k, equal on this part's bits and on no earlier part's. The
    engine compares only rows with equal part bits."""
    codes = np.ascontiguousarray(words.view(np.uint8)[:, :d_bytes])
    if cross:
        side_a = rows >= 0
        found_i, found_j, distance, _ = _brimel_pairs.part_pairs(
            codes[side_a], codes[~side_a], k, masks[part]
        )
        i, j = rows[side_a][found_i], ~rows[~side_a][found_j]
        differ = words[side_a][found_i] ^ words[~side_a][found_j]
    else:
        found_i, found_j, distance, _ = _brimel_pairs.part_pairs(codes, None, k, masks[part])
        first, second = rows[found_i], rows[found_j]
        i, j = np.minimum(first, second), np.maximum(first, second)
        differ = words[found_i] ^ words[found_j]
    # Every pair found agrees on this part; keep those that agree on no earlier one.
    keep = np.ones(distance.size, dtype=bool)
    for mask_words in _words(masks[:part]):
        keep &= (differ & mask_words).any(axis=1)
    return i[keep], j[keep], distance[keep]


def _join_partition(
    frame: pd.DataFrame, k: int, masks: npt.NDArray[np.uint8], d_bytes: int, cross: bool
) -> pd.DataFrame:
    """The pairs one shuffled partition records, part by part."""
    rows = frame["row"].to_numpy()
    words = np.ascontiguousarray(frame[_word_columns(d_bytes)].to_numpy(dtype=np.uint64))
    parts = frame["part"].to_numpy()
    order = np.argsort(parts, kind="stable")
    bounds = np.searchsorted(parts[order], np.arange(masks.shape[0] + 1))
    meta = _meta(k)
    found = [tuple(meta[name].to_numpy() for name in meta.columns)]  # the dtypes, when no part has rows
    for part in np.flatnonzero(np.diff(bounds)):  # the parts with rows here
        chosen = order[bounds[part] : bounds[part + 1]]
        found.append(_part_pairs(rows[chosen], words[chosen], k, int(part), masks, d_bytes, cross))
    return pd.DataFrame({name: np.concatenate(column) for name, column in zip(meta.columns, zip(*found))})


def _frame_of(codes: da.Array, cross_side: bool) -> dd.DataFrame:
    starts = np.concatenate([[0], np.cumsum(codes.chunks[0])[:-1]]).astype(np.int64)
    blocks = codes.to_delayed().ravel()
    columns = {
        "row": np.empty(0, np.int64),
        **{c: np.empty(0, np.uint64) for c in _word_columns(codes.shape[1])},
    }
    return dd.from_delayed(
        [
            delayed(_rows_frame)(block, int(start), cross_side, (int(rows), int(codes.shape[1])))
            for block, start, rows in zip(blocks, starts, codes.chunks[0])
        ],
        meta=pd.DataFrame(columns),
        verify_meta=False,
    )


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

    One shuffle sends every row k + 1 times, once per part, into
    ``npartitions`` partitions (default: the number of input blocks), by
    ``shuffle_method`` ("p2p", "tasks" or "disk"; default: Dask's configured
    method, "p2p" on a distributed cluster). The bits of each part
    are chosen from the entropy of the first rows of ``a``, which are computed
    here, before the frame is returned.
    """
    a = _dask_codes(a, "a")
    b = None if b is None else _dask_codes(b, "b")
    k = _check_k(k, a, b)
    d_bytes = a.shape[1]
    if npartitions is None:
        npartitions = a.numblocks[0] + (0 if b is None else b.numblocks[0])
    if isinstance(npartitions, bool) or not isinstance(npartitions, (int, np.integer)) or npartitions < 1:
        raise ValueError(f"npartitions must be a positive int, not {npartitions!r}")

    sample = a[:_SAMPLE_ROWS]
    masks = _part_masks(_checked_block(np.asarray(sample.compute()), sample.shape, "a"), k)
    rows = _frame_of(a, False)
    if b is not None:
        rows = dd.concat([rows, _frame_of(b, True)])
    part_words = _words(masks)
    keyed = rows.map_partitions(
        _keyed, part_words, meta=rows._meta.assign(part=_part_type(k + 1)(0), key=np.uint32(0))
    )
    # One shuffle for all parts: rows with the same part and part bits meet in
    # one partition.
    # (Dask before 2024.1 names the method argument "shuffle".)
    method = {} if shuffle_method is None else {"shuffle_method": shuffle_method}
    shuffled = keyed.shuffle(on="key", npartitions=int(npartitions), **method)
    return shuffled.map_partitions(
        _join_partition, k, masks, d_bytes, b is not None, meta=_meta(k), align_dataframes=False
    )


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
