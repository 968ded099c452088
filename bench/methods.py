"""The registered benchmark methods: ours, faiss and the brute-force reference.

Each method is one small `Method` entry. The harness asks `available()` before
running it (a brimel_native function that is not in the installed module, or a
peer that is not installed, gives "not available"), `applies(case)` for cases it
cannot handle at all, and `work(case)` for peers whose cost grows with n^2. Only
the worker subprocess calls `solve`, so the harness process never loads faiss.

Self-join and cross-join methods return their native result from `solve`
(timed) and turn it into an (m, 3) uint32 array of (i, j, dist) with
`to_pairs` (not timed). Self-join pairs are reduced to i < j. A method whose
`result` is "groups" (find_groups) gives instead the (n,) array of group
labels, checked against the components of the reference row's pairs.
Streaming and batch-query methods return (metrics, hits) from `stream`, hits
being an (m, 3) array of (query, id, dist).
"""

from __future__ import annotations

import importlib.util
import resource
import json
import math
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np

from workloads import LARGE, Case

ROOT = Path(__file__).resolve().parent.parent


# --- shared helpers ----------------------------------------------------------------


def rss_kb(field: str = "VmRSS") -> int:
    """Resident memory of this process in KiB (VmRSS now, or VmHWM for the peak)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_s() -> float:
    """CPU seconds (user and system) this process has used, all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def canonical(i: np.ndarray, j: np.ndarray, dist: np.ndarray) -> np.ndarray:
    out = np.stack([np.asarray(i, np.uint32), np.asarray(j, np.uint32), np.asarray(dist, np.uint32)], axis=1)
    return out[np.lexsort((out[:, 2], out[:, 1], out[:, 0]))]


def list_to_pairs(result: list) -> np.ndarray:
    arr = np.array(result, dtype=np.uint32).reshape(-1, 3)
    return canonical(arr[:, 0], arr[:, 1], arr[:, 2])


def range_to_pairs(result: tuple, self_join: bool) -> np.ndarray:
    """faiss range_search output (lims, D, I) as (query, id, dist) rows."""
    lims, dist, ids = result
    query = np.repeat(np.arange(len(lims) - 1, dtype=np.int64), np.diff(lims.astype(np.int64)))
    if self_join:
        keep = query < ids
        query, ids, dist = query[keep], ids[keep], dist[keep]
    return canonical(query, ids, dist)


def _brimel():
    import brimel_native

    return brimel_native


def _faiss(threads: int):
    import faiss

    faiss.omp_set_num_threads(threads)
    return faiss


def _reference():
    sys.path.insert(0, str(ROOT / "tests" / "reference"))
    import reference

    return reference


def multihash_config(d_bytes: int, k: int) -> tuple[int, int, int, int]:
    """(bits, nhash, b, nflip) as faiss users configure IndexBinaryMultiHash: 16-bit
    hashes, one per 16 bits of code, and enough flips to stay exact."""
    bits = 8 * d_bytes
    nhash = bits // 16
    return bits, nhash, 16, k // nhash


# --- the registry -----------------------------------------------------------------


@dataclass(frozen=True)
class Method:
    name: str  # row label
    kind: str  # "self", "cross", "stream" or "batch"
    ours: bool
    requires: str  # "brimel_native:<attribute>", "faiss" or "reference"
    applies: Callable[[Case], Optional[str]] = lambda case: None  # reason when it cannot run
    work: Optional[Callable[[Case], float]] = None  # elementary steps per run, n^2 peers
    solve: Optional[Callable[..., Any]] = None  # (arrays..., k, threads) -> native result
    to_pairs: Optional[Callable[[Any], np.ndarray]] = None
    stream: Optional[Callable[..., tuple[dict, np.ndarray]]] = None
    stats: Optional[Callable[[Any], dict]] = None  # what the join reported of its run
    # When set, `stats` reads its result, from one untimed run after the timed
    # ones: (arguments of solve...) -> native result with statistics.
    counted: Optional[Callable[..., Any]] = None
    result: str = "pairs"  # or "groups": to_pairs gives one label per row
    # Untimed, before each run: (arrays...) -> the arguments `solve` takes instead
    prepare: Optional[Callable[..., tuple]] = None
    # Untimed, after each run: CPU seconds the run used in other processes
    other_cpu_s: Optional[Callable[[Any], float]] = None

    def available(self) -> Optional[str]:
        """None when this method can be run here, else why not."""
        if self.requires.startswith("brimel_native:"):
            attribute = self.requires.split(":", 1)[1]
            try:
                module = _brimel()
            except ImportError as error:
                return f"not available (brimel_native: {error})"
            return (
                None
                if hasattr(module, attribute)
                else f"not available (no `{attribute}` in brimel_native {module.__version__})"
            )
        if self.requires == "faiss":
            return None if importlib.util.find_spec("faiss") else "not available (faiss-cpu not installed)"
        if self.requires == "reference":
            return None
        if self.requires == "dask":
            found = importlib.util.find_spec("distributed")
            return None if found else "not available (dask[distributed] not installed)"
        raise ValueError(self.requires)

    def load(self) -> None:
        """Imports what the method needs, so that the library's own memory counts in
        the worker's baseline rather than in the first run."""
        if self.requires.startswith("brimel_native:"):
            _brimel()
        elif self.requires == "faiss":
            _faiss(1)
        elif self.requires == "dask":
            import brimel_native.dask  # noqa: F401
        else:
            _reference()._library()


def _large(case: Case) -> Optional[str]:
    """Cases where only find_pairs (and, streaming, our Index and faiss's
    multi-hash index) run: past LARGE rows, and the 1M-row pHash and PDQ cases,
    where the other joins and faiss's multi-hash self-join take minutes."""
    if case.n > LARGE or (case.workload in ("W2", "W3") and case.n >= 1_000_000):
        return "not run at this size (find_pairs is measured here; ratios at the smaller sizes)"
    return None


def _byte_limit(case: Case) -> Optional[str]:
    if _large(case):
        return _large(case)
    return None if case.k < case.d_bytes else f"n/a: byte chunks need k < d_bytes ({case.d_bytes})"


def max_chunk_bits() -> int:
    """The engine's widest chunk key, in bits."""
    return _brimel()._brimel_native._MAX_CHUNK_BITS


def _bit_limit(case: Case) -> Optional[str]:
    if case.kind != "stream" and _large(case):
        return _large(case)
    bits = 8 * case.d_bytes
    if case.k >= bits:
        return f"n/a: k >= 8*d_bytes ({bits})"
    if case.k > 0 and -(-bits // (case.k + 1)) > max_chunk_bits():
        return f"n/a: bit chunk wider than {max_chunk_bits()} bits"
    return None


def _ours_self(attribute: str, applies) -> Method:
    return Method(
        name=attribute,
        kind="self",
        ours=True,
        requires=f"brimel_native:{attribute}",
        applies=applies,
        solve=lambda a, k, threads: getattr(_brimel(), attribute)(a, k),
        to_pairs=list_to_pairs,
    )


def _ours_cross(attribute: str, applies) -> Method:
    return Method(
        name=attribute,
        kind="cross",
        ours=True,
        requires=f"brimel_native:{attribute}",
        applies=applies,
        solve=lambda queries, refs, k, threads: getattr(_brimel(), attribute)(queries, refs, k),
        to_pairs=list_to_pairs,
    )


def _pairs_arrays(raw: tuple) -> np.ndarray:
    return canonical(raw[0], raw[1], raw[2])


def _run_stats(raw: tuple) -> dict:
    """The plan that ran and the pairs it verified (candidates), as the engine reports them."""
    return json.loads(raw[3])


def _scan_work(case: Case) -> float:
    pairs = case.n * (case.n - 1) / 2 if case.kind == "self" else float(case.queries) * case.n
    return pairs * max(1, case.d_bytes // 8)


def _find_pairs(kind: str) -> Method:
    """find_pairs as callers call it; the plan and the pairs it verified come
    from one more, untimed, call of the native entry it calls, which counts
    them (counting costs the timed runs a few percent on joins of 1 ms)."""
    if kind == "self":
        solve = lambda a, k, threads: _brimel().find_pairs(a, k)  # noqa: E731
        counted = lambda a, k, threads: _brimel()._brimel_pairs.pairs(a, None, k, stats=True)  # noqa: E731
    else:
        solve = lambda queries, refs, k, threads: _brimel().find_pairs(queries, k, refs)  # noqa: E731
        counted = lambda queries, refs, k, threads: _brimel()._brimel_pairs.pairs(  # noqa: E731
            queries, refs, k, stats=True
        )
    return Method(
        name="find_pairs",
        kind=kind,
        ours=True,
        requires="brimel_native:find_pairs",
        solve=solve,
        to_pairs=_pairs_arrays,
        stats=_run_stats,
        counted=counted,
    )


def components(pairs: np.ndarray, n: int) -> np.ndarray:
    """The label of each row, the lowest row of its component, from (m, 3)
    pairs: labels lowered across each pair, then pointer jumping, until stable."""
    labels = np.arange(n, dtype=np.int64)
    i, j = pairs[:, 0].astype(np.int64), pairs[:, 1].astype(np.int64)
    while True:
        before = labels.copy()
        low = np.minimum(labels[i], labels[j])
        np.minimum.at(labels, i, low)
        np.minimum.at(labels, j, low)
        labels = labels[labels]
        if np.array_equal(labels, before):
            return labels


def _multihash_index(d_bytes: int, k: int, threads: int):
    faiss = _faiss(threads)
    bits, nhash, b, nflip = multihash_config(d_bytes, k)
    index = faiss.IndexBinaryMultiHash(bits, nhash, b)
    index.nflip = nflip
    return index


def _chunk_multihash_index(d_bytes: int, k: int, threads: int):
    """faiss with the Index's own plan: k + 1 disjoint hashes of 8 * d_bytes / (k + 1) bits, no flips."""
    bits = 8 * d_bytes
    return _faiss(threads).IndexBinaryMultiHash(bits, k + 1, bits // (k + 1))


def _flat_index(d_bytes: int, k: int, threads: int):
    return _faiss(threads).IndexBinaryFlat(8 * d_bytes)


def _faiss_self(make_index):
    def solve(a, k, threads):
        index = make_index(a.shape[1], k, threads)
        index.add(a)
        return index.range_search(a, k + 1)  # faiss keeps distances < radius

    return solve


def _faiss_cross(make_index):
    def solve(queries, refs, k, threads):
        index = make_index(refs.shape[1], k, threads)
        index.add(refs)
        return index.range_search(queries, k + 1)

    return solve


# --- streaming -----------------------------------------------------------------------

BATCH = 10_000


def _single_adds(n: int) -> int:
    return min(10_000, n // 20)


def _run_stream(stored: np.ndarray, queries: np.ndarray, k: int, new_index, add_batch, add_one, query):
    """Fills a fresh index (batches, then the last rows one at a time), then queries it
    one row at a time. Returns the metrics and the (query, id, dist) hits."""
    n = stored.shape[0]
    singles = _single_adds(n)
    before = rss_kb()
    index = new_index()
    start = time.perf_counter()
    for s in range(0, n - singles, BATCH):
        add_batch(index, stored[s : min(s + BATCH, n - singles)])
    batch_seconds = time.perf_counter() - start
    start = time.perf_counter()
    for r in range(n - singles, n):
        add_one(index, stored[r])
    single_seconds = time.perf_counter() - start
    stored_bytes = (rss_kb() - before) * 1024
    latencies = np.empty(queries.shape[0])
    parts = []
    for q in range(queries.shape[0]):
        start = time.perf_counter()
        ids, dist = query(index, queries[q])
        latencies[q] = time.perf_counter() - start
        parts.append(
            np.stack(
                [np.full(len(ids), q, np.uint32), np.asarray(ids, np.uint32), np.asarray(dist, np.uint32)],
                axis=1,
            )
        )
    hits = np.concatenate(parts) if parts else np.empty((0, 3), np.uint32)
    metrics = {
        "add_batch_rows_per_s": (n - singles) / batch_seconds,
        "add_rows_per_s": singles / single_seconds if singles else float("nan"),
        "query_p50_us": float(np.percentile(latencies, 50) * 1e6),
        "query_p99_us": float(np.percentile(latencies, 99) * 1e6),
        "bytes_per_row": stored_bytes / n,
    }
    return metrics, canonical(hits[:, 0], hits[:, 1], hits[:, 2])


def _brimel_stream(kind: str):
    def stream(stored, queries, k, threads):
        def query(index, row):
            hits = index.query(row)
            return [h[0] for h in hits], [h[1] for h in hits]

        return _run_stream(
            stored,
            queries,
            k,
            lambda: getattr(_brimel(), kind)(stored.shape[1], k),
            lambda index, rows: index.add_batch(rows),
            lambda index, row: index.add(row),
            query,
        )

    return stream


def _faiss_stream(make_index):
    def stream(stored, queries, k, threads):
        def query(index, row):
            lims, dist, ids = index.range_search(row[None, :], k + 1)
            return ids, dist

        return _run_stream(
            stored,
            queries,
            k,
            lambda: make_index(stored.shape[1], k, threads),
            lambda index, rows: index.add(rows),
            lambda index, row: index.add(row[None, :]),
            query,
        )

    return stream


# --- batch queries and the index file ---------------------------------------------------


def _timed(fn: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def _index_query_batch(stored, queries, k, threads):
    """query_batch over every query in one call, then save and load the index
    (a file in a temporary directory), read whole and mapped (the time to the
    first answer); each loaded index must answer alike."""
    bn = _brimel()
    index = bn.Index(stored.shape[1], k)
    metrics = {}
    _, seconds = _timed(lambda: index.add_batch(stored))
    metrics["add_batch_rows_per_s"] = stored.shape[0] / seconds
    found, seconds = _timed(lambda: index.query_batch(queries))
    metrics["queries_per_s"] = queries.shape[0] / seconds
    with tempfile.TemporaryDirectory(prefix="brimel-bench-") as tmp:
        path = Path(tmp) / "index.idx"
        _, metrics["save_s"] = _timed(lambda: index.save(path))
        metrics["file_bytes_per_row"] = path.stat().st_size / stored.shape[0]
        loaded, metrics["load_s"] = _timed(lambda: bn.Index.load(path))
        if not all(np.array_equal(a, b) for a, b in zip(found, loaded.query_batch(queries))):
            raise SystemExit("the loaded index answers differently from the saved one")
        del loaded
        mapped, metrics["open_first_answer_s"] = _timed(
            lambda: (lambda opened: (opened, opened.query(queries[0])))(bn.Index.load(path, mmap=True))[0]
        )
        if not all(np.array_equal(a, b) for a, b in zip(found, mapped.query_batch(queries))):
            raise SystemExit("the mapped index answers differently from the saved one")
        del mapped
    return metrics, canonical(found.i, found.j, found.distance)


def _index_query_per_row(stored, queries, k, threads):
    index = _brimel().Index(stored.shape[1], k)
    index.add_batch(stored)
    answers, seconds = _timed(lambda: [index.query(row) for row in queries])
    hits = np.array([(q, j, d) for q, hits in enumerate(answers) for j, d in hits], np.uint32).reshape(-1, 3)
    return {"queries_per_s": queries.shape[0] / seconds}, canonical(hits[:, 0], hits[:, 1], hits[:, 2])


def _faiss_batch(stored, queries, k, threads):
    index = _multihash_index(stored.shape[1], k, threads)
    index.add(stored)
    result, seconds = _timed(lambda: index.range_search(queries, k + 1))
    return {"queries_per_s": queries.shape[0] / seconds}, range_to_pairs(result, False)


# --- the join on a local Dask cluster ---------------------------------------------------

DASK_WORKLOAD = "W11"
DASK_BLOCK_ROWS = 1_000_000
_dask_clients: dict[int, Any] = {}


def _dask_client(workers: int):
    """A LocalCluster of `workers` processes sharing the harness's threads, each
    process's engine pool sized to its own share; one per worker process."""
    if workers not in _dask_clients:
        from distributed import Client, LocalCluster

        per_worker = max(1, int(os.environ.get("RAYON_NUM_THREADS", "1")) // workers)
        cluster = LocalCluster(
            n_workers=workers,
            threads_per_worker=per_worker,
            processes=True,
            dashboard_address=None,
            env={"RAYON_NUM_THREADS": str(per_worker), "OMP_NUM_THREADS": "1"},
        )
        _dask_clients[workers] = Client(cluster)
    return _dask_clients[workers]


def _pid_cpu_s() -> tuple[int, float]:
    return os.getpid(), cpu_s()


def _cluster_cpu_s(client) -> float:
    """CPU seconds the cluster's worker processes and their nannies have used,
    each process once. A LocalCluster's nannies live in this process, with the
    scheduler, which counts in its own CPU time: counted again per nanny, it
    made a Dask run look 1 to 1.5 core-seconds costlier than it was."""
    used = dict(client.run(_pid_cpu_s).values())
    used.update(client.run(_pid_cpu_s, nanny=True).values())
    used.pop(os.getpid(), None)
    return sum(used.values())


def _shuffled_bytes(dask_scheduler) -> float:
    """Bytes the workers have handed to the shuffle's comms so far (their own
    partitions included), as their heartbeats have reported them."""
    return float(
        dask_scheduler.cumulative_worker_metrics.get(("p2p", "background-comms", "process", "bytes"), 0)
    )


def _worker_peak_kb() -> int:
    return rss_kb("VmHWM")


def _dask_find_pairs(workers: int, shuffle_method: Optional[str] = "p2p") -> Method:
    """brimel_native.dask.find_pairs on `workers` local worker processes; the
    input is loaded onto the workers before the clock starts, as a cluster
    would read it from storage, and the pairs are gathered into this process.
    Bytes through the shuffle are counted for the p2p shuffle; the array
    exchange (shuffle_method None) moves the routed records as they are, so
    its bytes are theirs: k + 1 records per row of 8 bytes of row id and the
    code in whole 8-byte words."""

    def prepare(a):
        import dask.array as da
        from distributed import wait

        client = _dask_client(workers)
        array = client.persist(da.from_array(a, chunks=(DASK_BLOCK_ROWS, -1)))
        wait(array)
        return (array, client, client.run_on_scheduler(_shuffled_bytes), _cluster_cpu_s(client))

    def solve(array, client, shuffled_before, cpu_before, k, threads):
        from brimel_native import dask as brimel_dask

        frame = brimel_dask.find_pairs(array, k, shuffle_method=shuffle_method)
        record_bytes = (k + 1) * (8 + 8 * -(-array.shape[1] // 8))
        return frame.compute(), client, shuffled_before, array, k, record_bytes, cpu_before

    def stats(raw) -> dict:
        frame, client, shuffled_before, array, k, record_bytes, _ = raw
        from brimel_native import _brimel_pairs
        from brimel_native import dask as brimel_dask

        n = array.shape[0]
        # The cut find_pairs chose, chosen again on the same sample.
        sample = np.asarray(array[: brimel_dask._SAMPLE_ROWS].compute())
        words = np.frombuffer(_brimel_pairs.spread_cut(sample, k, n), np.int64)
        blocks, r = int(words[:-1].max()) + 1, int(words[-1])
        # Metrics reach the scheduler with the workers' heartbeats: wait until
        # two readings a second apart agree.
        shuffled = client.run_on_scheduler(_shuffled_bytes)
        for _ in range(30):
            time.sleep(1)
            now, shuffled = shuffled, client.run_on_scheduler(_shuffled_bytes)
            if now == shuffled:
                break
        return {
            "plan": f"{workers} × {-(-n // DASK_BLOCK_ROWS)} partitions",
            "cut": f"{r} of {blocks} blocks" if r > 1 else f"{blocks} blocks, one per part",
            "workers": workers,
            "block_rows": DASK_BLOCK_ROWS,
            "threads": int(os.environ.get("RAYON_NUM_THREADS", "1")),
            "verified": None,
            "shuffled_bytes_per_row": (
                (shuffled - shuffled_before) / n
                if shuffle_method == "p2p"
                else record_bytes
                if shuffle_method is None
                else None
            ),
            "worker_peak_rss_kb": max(client.run(_worker_peak_kb).values()),
        }

    exchange = "array exchange" if shuffle_method is None else f"{shuffle_method} shuffle"
    return Method(
        name=f"dask find_pairs, {workers} worker{'s' if workers > 1 else ''}, {exchange}",
        kind="self",
        ours=True,
        requires="dask",
        prepare=prepare,
        solve=solve,
        to_pairs=lambda raw: canonical(raw[0]["i"], raw[0]["j"], raw[0]["distance"]),
        stats=stats,
        other_cpu_s=lambda raw: _cluster_cpu_s(raw[1]) - raw[-1],
    )


# --- work estimates of the quadratic peers ----------------------------------------------


def _flat_work(case: Case) -> float:
    """64-bit word comparisons of a full scan (all queries against all rows)."""
    queries = case.queries or case.n
    return float(queries) * case.n * max(1, case.d_bytes // 8)


def _multihash_work(case: Case) -> float:
    """64-bit word comparisons of faiss's multi-hash self-join: a 16-bit hash that
    sees one value in every row lists all rows in its one bucket (W7's constant
    second half, W8's first 16 bits, W9's every bit); the other hashes' buckets
    hold rows as for uniform codes."""
    _, nhash, b, nflip = multihash_config(case.d_bytes, case.k)
    constant = {"W7": nhash // 2, "W8": 1, "W9": nhash}.get(case.workload, 0)
    pairs = case.n * (case.n - 1) / 2
    flips = sum(math.comb(b, f) for f in range(nflip + 1))
    per_hash = constant + (nhash - constant) * flips / 2**b
    return pairs * per_hash * max(1, case.d_bytes // 8)


def _brute_work(case: Case) -> float:
    """Bit comparisons of the bit-by-bit reference (upper triangle for self-joins)."""
    pairs = case.n * (case.n - 1) / 2 if case.kind == "self" else float(case.queries) * case.n
    return pairs * 8 * case.d_bytes


METHODS: list[Method] = [
    # ours, self-joins; find_pairs first: the row every other is checked against
    _find_pairs("self"),
    _ours_self("find_pairs_self", _byte_limit),
    _ours_self("_find_pairs_self_full_popcount", _byte_limit),
    _ours_self("find_pairs_self_bit", _bit_limit),
    _ours_self("find_pairs_self_adaptive", _large),
    Method(
        name="find_groups",
        kind="self",
        ours=True,
        requires="brimel_native:find_groups",
        applies=_large,
        solve=lambda a, k, threads: _brimel().find_groups(a, k),
        to_pairs=lambda labels: labels,
        result="groups",
    ),
    Method(
        name="tile scan",
        kind="self",
        ours=True,
        requires="brimel_native:find_pairs",
        applies=lambda case: None if case.workload == "W8" else "n/a: measured on the flood workload",
        work=_scan_work,
        solve=lambda a, k, threads: _brimel()._brimel_pairs.scan(a, None, k, stats=True),
        to_pairs=_pairs_arrays,
        stats=_run_stats,
    ),
    _dask_find_pairs(1),
    _dask_find_pairs(2),
    _dask_find_pairs(2, "tasks"),
    _dask_find_pairs(2, None),
    # ours, cross-joins
    _find_pairs("cross"),
    _ours_cross("find_pairs_cross", _byte_limit),
    _ours_cross("find_pairs_cross_bit", _bit_limit),
    # ours, streaming
    Method(
        name="Index",
        kind="stream",
        ours=True,
        requires="brimel_native:Index",
        applies=_bit_limit,
        stream=_brimel_stream("Index"),
    ),
    Method(
        name="Bank", kind="stream", ours=True, requires="brimel_native:Bank", stream=_brimel_stream("Bank")
    ),
    # ours, batch queries (query_batch first: the row the others are checked against)
    Method(
        name="Index.query_batch",
        kind="batch",
        ours=True,
        requires="brimel_native:Index",
        applies=_bit_limit,
        stream=_index_query_batch,
    ),
    Method(
        name="Index.query, one call per row",
        kind="batch",
        ours=True,
        requires="brimel_native:Index",
        applies=_bit_limit,
        stream=_index_query_per_row,
    ),
    # faiss
    Method(
        name="faiss IndexBinaryMultiHash",
        kind="self",
        ours=False,
        requires="faiss",
        applies=_large,
        solve=_faiss_self(_multihash_index),
        work=_multihash_work,
        to_pairs=lambda r: range_to_pairs(r, True),
    ),
    Method(
        name="faiss IndexBinaryFlat",
        kind="self",
        ours=False,
        requires="faiss",
        work=_flat_work,
        solve=_faiss_self(_flat_index),
        to_pairs=lambda r: range_to_pairs(r, True),
    ),
    Method(
        name="faiss IndexBinaryMultiHash",
        kind="cross",
        ours=False,
        requires="faiss",
        solve=_faiss_cross(_multihash_index),
        to_pairs=lambda r: range_to_pairs(r, False),
    ),
    Method(
        name="faiss IndexBinaryFlat",
        kind="cross",
        ours=False,
        requires="faiss",
        work=_flat_work,
        solve=_faiss_cross(_flat_index),
        to_pairs=lambda r: range_to_pairs(r, False),
    ),
    Method(
        name="faiss IndexBinaryMultiHash",
        kind="stream",
        ours=False,
        requires="faiss",
        stream=_faiss_stream(_multihash_index),
    ),
    Method(
        name="faiss IndexBinaryFlat",
        kind="stream",
        ours=False,
        requires="faiss",
        work=_flat_work,
        stream=_faiss_stream(_flat_index),
    ),
    Method(
        name="faiss IndexBinaryMultiHash (k + 1 chunks)",
        kind="stream",
        ours=False,
        requires="faiss",
        applies=lambda case: (
            _large(case)
            or (None if (8 * case.d_bytes) % (case.k + 1) == 0 else "n/a: k + 1 must divide the bits")
        ),
        stream=_faiss_stream(_chunk_multihash_index),
    ),
    Method(
        name="faiss IndexBinaryMultiHash", kind="batch", ours=False, requires="faiss", stream=_faiss_batch
    ),
    # the one brute-force reference (single-threaded, bit by bit)
    Method(
        name="brute force (tests/reference)",
        kind="self",
        ours=False,
        requires="reference",
        work=_brute_work,
        solve=lambda a, k, threads: _reference().self_join(a, k),
        to_pairs=list_to_pairs,
    ),
    Method(
        name="brute force (tests/reference)",
        kind="cross",
        ours=False,
        requires="reference",
        work=_brute_work,
        solve=lambda queries, refs, k, threads: _reference().cross_join(queries, refs, k),
        to_pairs=list_to_pairs,
    ),
]


def methods_for(case: Case) -> list[Method]:
    """The methods of the case's kind: the Dask joins on the Dask workload only,
    where the one other is find_pairs, the local join they are compared with."""
    on_dask = case.workload == DASK_WORKLOAD
    return [
        m
        for m in METHODS
        if m.kind == case.kind and ((m.requires == "dask") == on_dask or (on_dask and m.name == "find_pairs"))
    ]


def find(kind: str, name: str) -> Method:
    for method in METHODS:
        if method.kind == kind and method.name == name:
            return method
    raise KeyError(f"{kind}: {name}")


def thread_environment(threads: int) -> dict[str, str]:
    """The variables that size every pool (ours and OpenMP) to `threads`."""
    env = dict(os.environ)
    env.update(
        {
            "RAYON_NUM_THREADS": str(threads),
            "OMP_NUM_THREADS": str(threads),
            "OPENBLAS_NUM_THREADS": "1",
            "MKL_NUM_THREADS": "1",
        }
    )
    return env
