"""Benchmark workloads: deterministic code generators and the cases each mode runs.

Every array is a C-contiguous uint8 matrix of shape (rows, d_bytes) made from a
fixed seed, so two runs (or two machines) measure the same data.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from statistics import NormalDist

import numpy as np

SEED = 20240607


@dataclass(frozen=True)
class Case:
    """One measured configuration: a workload at one size and one k."""

    workload: str  # "W1" .. "W5"
    kind: str  # "self", "cross", "stream" or "batch"
    d_bytes: int
    k: int
    n: int  # rows joined (self), stored (stream, batch) or reference rows (cross)
    queries: int = 0  # query rows (cross, stream, batch)
    seed: int = SEED
    runs: int = 0  # runs per method; 0: the harness's --runs

    @property
    def key(self) -> str:
        q = f"_q{self.queries}" if self.queries else ""
        return f"{self.workload}_d{self.d_bytes}_k{self.k}_n{self.n}{q}"


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    description: str
    cases: tuple[Case, ...] = field(default_factory=tuple)


# --- generators ----------------------------------------------------------------


def flip_random_bits(rows: np.ndarray, counts: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Copy of `rows` (m, d_bytes) where row r has counts[r] distinct bits flipped."""
    m, d_bytes = rows.shape
    bits = 8 * d_bytes
    most = int(counts.max(initial=0))
    if m == 0 or most == 0:
        return rows.copy()
    # The first `most` columns of a random permutation per row: distinct positions.
    positions = np.argsort(rng.random((m, bits)), axis=1)[:, :most]
    keep = np.arange(most)[None, :] < counts[:, None]
    mask = np.zeros((m, bits), dtype=bool)
    r_idx = np.broadcast_to(np.arange(m)[:, None], positions.shape)
    mask[r_idx[keep], positions[keep]] = True
    return rows ^ np.packbits(mask, axis=1)


def plant_near_duplicates(
    codes: np.ndarray,
    targets: np.ndarray,
    sources: np.ndarray,
    min_flips: int,
    max_flips: int,
    rng: np.random.Generator,
) -> None:
    """Overwrite codes[targets] with codes[sources], each with min..max flipped bits."""
    counts = rng.integers(min_flips, max_flips + 1, size=targets.size)
    codes[targets] = flip_random_bits(codes[sources], counts, rng)


def simhash_like(n: int, seed: int) -> np.ndarray:
    """64-bit uniform codes; about 1 % of rows in exact-duplicate clusters of 10 to 100
    rows and 1 % planted near-duplicates of another row with 1 to 3 bits flipped."""
    rng = np.random.default_rng([seed, 1, n])
    codes = rng.integers(0, 256, size=(n, 8), dtype=np.uint8)
    order = rng.permutation(n)
    used = 0
    budget = n // 100
    while True:
        size = int(rng.integers(10, 101))
        if used + size > budget:
            break
        members = order[used : used + size]
        codes[members[1:]] = codes[members[0]]
        used += size
    planted = n // 100
    targets = order[used : used + planted]
    used += planted
    sources = order[used + rng.integers(0, n - used, size=planted)] if n > used else targets
    plant_near_duplicates(codes, targets, sources, 1, 3, rng)
    return codes


def phash_like(n: int, seed: int) -> np.ndarray:
    """64-bit codes with skewed, correlated bits: bit b is set with probability p_b drawn
    from [0.1, 0.5], neighbouring bits correlated through a Gaussian AR(1) latent
    (rho = 0.3), plus 2 % planted near-duplicates with 1 to 8 bits flipped."""
    rng = np.random.default_rng([seed, 2, n])
    bits = 64
    p = rng.uniform(0.1, 0.5, size=bits)
    thresholds = np.array([NormalDist().inv_cdf(float(q)) for q in p])
    rho = 0.3
    latent = np.empty((n, bits))
    latent[:, 0] = rng.standard_normal(n)
    noise = rng.standard_normal((n, bits))
    for b in range(1, bits):
        latent[:, b] = rho * latent[:, b - 1] + np.sqrt(1 - rho * rho) * noise[:, b]
    codes = np.packbits(latent < thresholds[None, :], axis=1)
    planted = n // 50
    order = rng.permutation(n)
    targets = order[:planted]
    sources = order[planted + rng.integers(0, n - planted, size=planted)]
    plant_near_duplicates(codes, targets, sources, 1, 8, rng)
    return np.ascontiguousarray(codes)


def pdq_like(n: int, seed: int) -> np.ndarray:
    """256-bit uniform codes with 1 % planted near-duplicates, 1 to 40 bits flipped
    (so pairs fall below, between and above k = 15 and k = 31)."""
    rng = np.random.default_rng([seed, 3, n])
    codes = rng.integers(0, 256, size=(n, 32), dtype=np.uint8)
    planted = n // 100
    order = rng.permutation(n)
    targets = order[:planted]
    sources = order[planted + rng.integers(0, n - planted, size=planted)]
    plant_near_duplicates(codes, targets, sources, 1, 40, rng)
    return codes


def near_queries(stored: np.ndarray, count: int, k: int, seed: int) -> np.ndarray:
    """Query rows: half are stored rows with 0 to k + 2 bits flipped, half uniform."""
    rng = np.random.default_rng([seed, 4, stored.shape[0], count])
    queries = rng.integers(0, 256, size=(count, stored.shape[1]), dtype=np.uint8)
    near = count // 2
    picks = rng.integers(0, stored.shape[0], size=near)
    plant_rows = np.arange(0, count, 2)[:near]
    counts = rng.integers(0, k + 3, size=near)
    queries[plant_rows] = flip_random_bits(stored[picks], counts, rng)
    return queries


def half_low_entropy(n: int, d_bytes: int, k: int, half: str, seed: int) -> np.ndarray:
    """Uniform codes whose second half is skewed (each bit set with probability
    1/4) or one constant for every row; a fifth of the rows copy an earlier row
    with 0 to k + 1 bits flipped (anywhere, or in the first half when constant).
    The even bit plan puts some chunks in the low-entropy half; the adaptive plan
    keys the bits that vary."""
    rng = np.random.default_rng([seed, 5, n, d_bytes, k])
    codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    second = codes[:, d_bytes // 2 :]
    if half == "skewed":
        second &= rng.integers(0, 256, size=second.shape, dtype=np.uint8)
    else:
        second[:] = 0x5A
    targets = np.sort(rng.choice(np.arange(1, n), size=n // 5, replace=False))
    sources = (rng.random(targets.size) * targets).astype(np.int64)  # an earlier row
    flips = rng.integers(0, k + 2, size=targets.size)
    if half == "skewed":
        plant_near_duplicates(codes, targets, sources, 0, k + 1, rng)
    else:
        first = codes[:, : d_bytes // 2].copy()
        first[targets] = flip_random_bits(first[sources], flips, rng)
        codes[:, : d_bytes // 2] = first
    return codes


def flood(n: int, seed: int) -> np.ndarray:
    """SimHash-like 64-bit codes (as W1) whose first 16 bits are one value in
    every row: the part of every 16-bit cut that holds them groups all rows in
    one group, as codes crafted against a chunk table would."""
    codes = simhash_like(n, seed)
    codes[:, :2] = (0xA5, 0x5A)
    return codes


def identical(n: int, seed: int) -> np.ndarray:
    """One random 64-bit code in every row: n (n - 1) / 2 pairs at distance 0,
    one group."""
    rng = np.random.default_rng([seed, 6, n])
    return np.repeat(rng.integers(0, 256, size=(1, 8), dtype=np.uint8), n, axis=0)


GENERATORS = {
    "W1": simhash_like,
    "W2": phash_like,
    "W3": pdq_like,
    "W8": flood,
    "W9": identical,
    "W11": simhash_like,
}
HALVES = {"W6": "skewed", "W7": "constant"}


def make_data(case: Case) -> dict[str, np.ndarray]:
    """The arrays of one case: {"a"} for self-joins, {"stored", "queries"} for the
    streaming index and its batch queries, {"queries", "refs"} for cross-joins."""
    if case.kind == "self" and case.workload in HALVES:
        return {"a": half_low_entropy(case.n, case.d_bytes, case.k, HALVES[case.workload], case.seed)}
    if case.kind == "self":
        return {"a": GENERATORS[case.workload](case.n, case.seed)}
    if case.kind in ("stream", "batch"):
        stored = simhash_like(case.n, case.seed) if case.d_bytes == 8 else pdq_like(case.n, case.seed)
        return {"stored": stored, "queries": near_queries(stored, case.queries, case.k, case.seed)}
    if case.kind == "cross":
        refs = simhash_like(case.n, case.seed)
        return {"queries": near_queries(refs, case.queries, case.k, case.seed), "refs": refs}
    raise ValueError(case.kind)


# --- cases per mode --------------------------------------------------------------


# Sizes above which only find_pairs runs (and, for the streaming index, ours
# and faiss's multi-hash index): the other joins and peers take minutes there,
# and their ratios are measured at the sizes below.
LARGE = 2_000_000


def workloads(full: bool) -> list[Workload]:
    w1_sizes = (5_000, 30_000, 100_000, 300_000, 1_000_000) if full else (5_000, 30_000, 100_000)
    w1_large = ((10_000_000, 3), (100_000_000, 1)) if full else ()
    w2_sizes = (5_000, 100_000, 1_000_000) if full else (5_000, 20_000)
    w3_sizes = (3_000, 50_000, 200_000, 1_000_000) if full else (3_000, 50_000)
    stream = ((1_000_000, 8, 3), (200_000, 32, 31)) if full else ((200_000, 8, 3), (50_000, 32, 31))
    stream_large = ((10_000_000, 32, 31),) if full else ()
    stream_queries = 10_000 if full else 2_000
    batch = (
        ((1_000_000, 8, 3, 100_000), (200_000, 32, 31, 10_000), (10_000_000, 32, 31, 20_000))
        if full
        else ((200_000, 8, 3, 20_000), (50_000, 32, 31, 2_000))
    )
    cross = ((2_000, 10_000), (100_000, 1_000_000)) if full else ((2_000, 10_000), (10_000, 100_000))
    halves = ((1_000_000, 8), (200_000, 32)) if full else ((100_000, 8), (50_000, 32))
    flood_sizes = (30_000, 100_000) if full else (30_000,)
    dask_size = 10_000_000 if full else 1_000_000
    half_k = {("W6", 8): 2, ("W6", 32): 11, ("W7", 8): 1, ("W7", 32): 7}
    return [
        Workload(
            "W1",
            "SimHash-like, 64-bit, k = 3",
            "Uniform random 64-bit codes, 1 % planted near-duplicates (1 to 3 bits flipped) "
            "and exact-duplicate clusters of 10 to 100 rows (1 % of rows).",
            tuple(Case("W1", "self", 8, 3, n) for n in w1_sizes)
            + tuple(Case("W1", "self", 8, 3, n, runs=runs) for n, runs in w1_large),
        ),
        Workload(
            "W2",
            "pHash-like, 64-bit, k = 6 and k = 10",
            "64-bit codes with skewed (p between 0.1 and 0.5), correlated bits and 2 % planted "
            "near-duplicates (1 to 8 bits flipped).",
            tuple(Case("W2", "self", 8, k, n) for n in w2_sizes for k in (6, 10)),
        ),
        Workload(
            "W3",
            "PDQ-like, 256-bit, k = 15 and k = 31",
            "Uniform random 256-bit codes with 1 % planted near-duplicates (1 to 40 bits flipped).",
            tuple(Case("W3", "self", 32, k, n) for n in w3_sizes for k in (15, 31)),
        ),
        Workload(
            "W4",
            "Streaming index",
            "Codes added in batches of 10,000 rows (then the last rows one at a time), then "
            "single-row queries: half stored rows with 0 to k + 2 bits flipped, half random.",
            tuple(Case("W4", "stream", d, k, n, stream_queries) for n, d, k in stream)
            + tuple(Case("W4", "stream", d, k, n, 2_000, runs=1) for n, d, k in stream_large),
        ),
        Workload(
            "W10",
            "Index: batch queries, save and load",
            "W4's stored codes and queries, the index filled by one add_batch; all queries by one "
            "query_batch call, by one query call per row, and by one faiss IndexBinaryMultiHash "
            "range_search; then the index saved to a file and loaded back (the loaded index must "
            "answer alike).",
            tuple(Case("W10", "batch", d, k, n, q) for n, d, k, q in batch),
        ),
        Workload(
            "W5",
            "Cross-join, 64-bit, k = 3",
            "Queries against references: the references are W1 data; half of the queries are "
            "references with 0 to 5 bits flipped, half random.",
            tuple(Case("W5", "cross", 8, 3, refs, queries) for queries, refs in cross),
        ),
        Workload(
            "W8",
            "Flood: every row shares its first 16 bits, 64-bit, k = 3",
            "W1 codes whose first two bytes are one value in every row, as codes crafted to "
            "collide on a chunk would be: find_pairs against the tile scan (every pair verified) "
            "on the same input.",
            tuple(Case("W8", "self", 8, 3, n) for n in flood_sizes),
        ),
        Workload(
            "W9",
            "Identical codes: 4,000 copies of one 64-bit code, k = 3",
            "Every row the same code: 8 million pairs at distance 0 and one group. find_groups "
            "(labels, the duplicates collapsed before the join) against the pair joins, whose "
            "result grows with the square of the cluster.",
            (Case("W9", "self", 8, 3, 4_000),),
        ),
        Workload(
            "W11",
            "W1 on a local Dask cluster, 64-bit, k = 3",
            "W1 codes joined by brimel_native.dask.find_pairs on one and on two local worker processes "
            "(the harness's threads shared among them), against the local find_pairs; the input is "
            "loaded onto the workers before the clock starts and the pairs are gathered into the "
            "harness's process.",
            (Case("W11", "self", 8, 3, dask_size),),
        ),
        *[
            Workload(
                w,
                f"{HALVES[w].capitalize()} second half: adaptive against even bit chunks",
                f"Uniform codes whose second half is {'skewed (p = 1/4 per bit)' if w == 'W6' else 'constant'}; "
                "a fifth of the rows are near-duplicates of earlier rows (0 to k + 1 bits flipped).",
                tuple(Case(w, "self", d, half_k[w, d], n) for n, d in halves),
            )
            for w in HALVES
        ],
    ]
