"""A bank of many PDQ-like codes on one machine: built, saved, opened mapped
and queried, with the figures a service needs.

The codes are uniform 256-bit codes generated in chunks (the bank holds them,
this script does not), k = 31, or with --code simhash 64-bit codes at k = 3;
queries are half near copies of stored codes (up to 20 or k + 2 bits flipped,
whichever is fewer) and half random codes. Reported: ingest rate
(add_batch of 1M-row chunks), resident bytes per stored code, query_batch
throughput as added (several segments) and after compact(), save time and
file bytes per code, the time from opening the saved file (mapped) to its
first answer, single-query p50 / p99 and one-thread rate on the opened bank,
and its query_batch throughput. Answers are cross-checked: the compacted
and the opened bank's batches against the first, the single queries
against the batch, row by row.

With --faiss, faiss's IndexBinaryMultiHash (configured as the bench's other
workloads configure it, 2 threads) is filled with the same codes in the same
run, and its single-query p50 / p99 and batch rate (range_search) are
reported beside ours, its answers checked against the bank's.

    .venv/bin/python bench/bank_scale.py [--rows 100000000] [--queries 100000] [--dir DIR] [--faiss]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import brimel_native as bn

D_BYTES, K, CHUNK = 32, 31, 1_000_000


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def chunk_codes(start: int, rows: int) -> np.ndarray:
    """The codes of rows start .. start + CHUNK (fewer at the end), the same on every call."""
    rng = np.random.default_rng((1, start))
    return rng.integers(0, 256, (min(CHUNK, rows - start), D_BYTES), dtype=np.uint8)


def compare_faiss(rows: int, asked: np.ndarray, singles: list, our_p50: float, our_batch: float) -> None:
    sys.path.insert(0, str(Path(__file__).parent))
    from methods import _multihash_index

    index = _multihash_index(D_BYTES, K, 2)
    began = time.perf_counter()
    for start in range(0, rows, CHUNK):
        index.add(chunk_codes(start, rows))
    print(f"faiss IndexBinaryMultiHash: filled in {time.perf_counter() - began:.1f} s")
    seconds = []
    for r, row in enumerate(asked[:200]):
        began = time.perf_counter()
        lims, dists, ids = index.range_search(row[None, :], K + 1)
        seconds.append(time.perf_counter() - began)
        if sorted(zip(ids.tolist(), dists.tolist())) != singles[r]:
            raise SystemExit(f"faiss and the bank differ on query row {r}")
    p50, p99 = np.percentile(seconds, [50, 99]) * 1e3
    began = time.perf_counter()
    index.range_search(asked[:2000], K + 1)
    batch = 2000 / (time.perf_counter() - began)
    print(
        f"faiss single queries (200): p50 {p50:.3f} ms, p99 {p99:.3f} ms; batch {batch:,.0f} queries/s "
        f"(2,000); bank/faiss: p50 {p50 / our_p50:.1f}x, batch {our_batch / batch:.1f}x"
    )


def single_latency(bank: bn.Bank, rows: np.ndarray) -> tuple[float, float]:
    """p50 and p99 of one query call per row, in ms."""
    seconds = []
    for row in rows:
        began = time.perf_counter()
        bank.query(row)
        seconds.append(time.perf_counter() - began)
    p50, p99 = np.percentile(seconds, [50, 99]) * 1e3
    return float(p50), float(p99)


def queries(first_chunk: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    near = first_chunk[rng.integers(0, len(first_chunk), count // 2)].copy()
    for row in near:
        bits = rng.choice(8 * D_BYTES, int(rng.integers(0, min(21, K + 3))), replace=False)
        np.bitwise_xor.at(row, bits // 8, (0x80 >> (bits % 8)).astype(np.uint8))
    far = rng.integers(0, 256, (count - count // 2, D_BYTES), dtype=np.uint8)
    return np.concatenate([near, far])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000_000)
    parser.add_argument("--queries", type=int, default=100_000, help="rows of each query_batch")
    parser.add_argument("--faiss", action="store_true", help="compare with faiss IndexBinaryMultiHash")
    parser.add_argument(
        "--code", default="pdq", choices=["pdq", "simhash"], help="256-bit at k = 31, or 64-bit at k = 3"
    )
    parser.add_argument(
        "--dir", default=None, help="where the bank file goes (default: a temporary directory)"
    )
    args = parser.parse_args()
    global D_BYTES, K
    D_BYTES, K = (32, 31) if args.code == "pdq" else (8, 3)
    rng = np.random.default_rng(1)
    flags = sorted({f for f in open("/proc/cpuinfo").read().split() if f.startswith(("avx2", "avx512f"))})
    print(f"{os.cpu_count()} CPUs ({', '.join(flags)}), {args.rows:,} codes of {8 * D_BYTES} bits, k = {K}")

    bank, first, before = bn.Bank(D_BYTES, K), None, rss_bytes()
    adding = 0.0
    for start in range(0, args.rows, CHUNK):
        chunk = chunk_codes(start, args.rows)
        first = chunk if first is None else first
        began = time.perf_counter()
        bank.add_batch(chunk)
        adding += time.perf_counter() - began
    del chunk
    resident = (rss_bytes() - before - first.nbytes) / args.rows
    print(
        f"ingest: {args.rows / adding:,.0f} codes/s ({adding:.1f} s), {resident:.1f} resident bytes per code"
    )

    asked = queries(first, args.queries, rng)
    began = time.perf_counter()
    built = bank.query_batch(asked)
    print(f"query_batch (as added, in memory): {len(asked) / (time.perf_counter() - began):,.0f} queries/s")
    p50, p99 = single_latency(bank, asked[:2000])
    print(f"single queries (2,000, as added): p50 {p50:.3f} ms, p99 {p99:.3f} ms")
    began = time.perf_counter()
    bank.compact()
    print(f"compact: {time.perf_counter() - began:.1f} s")
    with tempfile.TemporaryDirectory(prefix="brimel-bank-", dir=args.dir) as tmp:
        path = Path(tmp) / "bank.idx"
        began = time.perf_counter()
        bank.save(path)
        print(
            f"save: {time.perf_counter() - began:.1f} s, {path.stat().st_size / args.rows:.1f} file bytes per code"
        )
        began = time.perf_counter()
        compacted = bank.query_batch(asked)
        print(
            f"query_batch (compacted, in memory): {len(asked) / (time.perf_counter() - began):,.0f} queries/s"
        )
        if not all(np.array_equal(x, y) for x, y in zip(built, compacted)):
            raise SystemExit("the compacted bank answers differently")
        del bank
        began = time.perf_counter()
        opened = bn.Bank.open(path)
        opened.query(asked[0])
        print(f"mapped open to first answer: {time.perf_counter() - began:.3f} s")
        seconds, singles = [], []
        for row in asked[:2000]:
            began = time.perf_counter()
            singles.append(opened.query(row))
            seconds.append(time.perf_counter() - began)
        p50, p99 = np.percentile(seconds, [50, 99]) * 1e3
        print(
            f"single queries (2,000, on the opened bank): p50 {p50:.3f} ms, p99 {p99:.3f} ms, "
            f"one thread {len(seconds) / sum(seconds):,.0f} queries/s"
        )
        # The batch answers of the first 2,000 rows are the single answers, row by row.
        rows_of = np.searchsorted(built.i, np.arange(len(singles) + 1))
        for r, hits in enumerate(singles):
            span = slice(rows_of[r], rows_of[r + 1])
            if hits != list(zip(built.j[span].tolist(), built.distance[span].tolist())):
                raise SystemExit(f"query_batch and query differ on query row {r}")
        began = time.perf_counter()
        found = opened.query_batch(asked)
        elapsed = time.perf_counter() - began
        same = all(np.array_equal(x, y) for x, y in zip(built, found))
        print(
            f"query_batch: {len(asked) / elapsed:,.0f} queries/s, {len(found.i):,} hits, same as built: {same}"
        )
        if not same:
            raise SystemExit("the opened bank answers differently from the built one")
    if args.faiss:
        compare_faiss(args.rows, asked, singles, p50, len(asked) / elapsed)


if __name__ == "__main__":
    main()
