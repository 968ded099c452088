"""How much slower an adversary can make a search with crafted codes, against
random codes of the same shape.

Two attacks:
- `crafted`: every row's 16-byte prefix (and, for 32-byte rows, the whole
  row) collides under the fixed, invertible chunk hash the engine once used:
  for 16-byte keys (lo, hi) -> rotl(((lo * K) + hi) * K, 26), hi = C - lo * K
  gives one hash for every lo; for 32-byte keys the last 16 bytes cancel the
  digest's fold. The joins now group rows by radix sort and hash only parts
  wider than 32 bits, with a seed drawn per process, and the Index hashes its
  keys with a function drawn once per process: for them these codes are just
  other codes. No pair lies within k, so any slowdown would be the tables'.
- `shared`: rows that genuinely share a part key (the same first 16 bits,
  random elsewhere), which no hash can tell apart; the Index(8, 3) keys on
  16-bit parts, so every query probing that key meets every row. Long lists
  are keyed again on the bits their part leaves free (sub-indexes).

The Index is measured in two steps, add_batch of all rows into a new index and
then 2,000 queries of stored rows, best of three rounds. A long list gets its
sub-index at its 32nd probe, so with `shared` codes the first round makes the
sub-indexes (at 1M rows the shared 16 bits fall in a 21-bit part: 32 keys of
31k rows each) and the best round uses them; until a key's 32nd probe each
probe verifies its list whole, a cost of about as much as making its
sub-index, once per heavy key.

    .venv/bin/python bench/hash_flooding.py [--sizes 2000,4000,8000,16000] [--only NAME,...]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests" / "python"), str(ROOT / "tests" / "reference")]

from brimel_native import _brimel_native as m  # noqa: E402

M64 = (1 << 64) - 1
K = 0xF1357AEA2E62A9C5
SEED0, SEED1 = 0x243F6A8885A308D3, 0x13198A2E03707344
BLOCK = 0xA4093822299F31D0


def rotl(x: int, r: int) -> int:
    return ((x << r) | (x >> (64 - r))) & M64


def int_key_hash(lo: int, hi: int) -> int:
    return rotl((((lo * K) & M64) + hi) * K & M64, 26)


def fold(a: int, b: int) -> int:
    p = a * b
    return (p & M64) ^ (p >> 64)


def string_digest_32(words: list[int]) -> int:
    """The byte-string digest for a 32-byte key (one block, then the last 16 bytes)."""
    x, y, u, v = words
    t = fold(SEED0 ^ x, BLOCK ^ y)
    return fold(SEED1 ^ u, t ^ v) ^ 32


def le_bytes(words: list[int]) -> bytes:
    return b"".join(w.to_bytes(8, "little") for w in words)


def crafted(n: int, d_bytes: int, seed: int = 1) -> np.ndarray:
    """n distinct codes whose 16-byte prefix keys (and, for 32 bytes, whole-row
    byte-string keys) all share one hash."""
    rng = np.random.default_rng(seed)
    los = {int(x) for x in rng.integers(0, 2**63, size=2 * n, dtype=np.int64)}
    rows = []
    target = 0x5EED
    for lo in list(los)[:n]:
        hi = (target - lo * K) & M64
        words = [lo, hi]
        if d_bytes == 32:
            t = fold(SEED0 ^ lo, BLOCK ^ hi)
            u = SEED1 ^ 1
            words += [u, t ^ 0xC0FFEE]
        rows.append(le_bytes(words))
    codes = np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(n, d_bytes).copy()
    # The construction, checked: one hash for every row.
    words = codes.view("<u8")
    assert len({int_key_hash(int(r[0]), int(r[1])) for r in words}) == 1
    if d_bytes == 32:
        assert len({string_digest_32([int(w) for w in r]) for r in words}) == 1
    return codes


def shared(n: int, d_bytes: int, seed: int = 1) -> np.ndarray:
    """n random codes with the same first two bytes."""
    codes = np.random.default_rng(seed).integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    codes[:, :2] = 0x5A
    return codes


def seconds(call, repeat: int = 3) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def searches():
    """(name, d_bytes, k, call(codes), attack) for every built function."""
    import catalog

    out = []
    for join in catalog.JOINS:
        f = getattr(m, join.name)
        for d_bytes in (16, 32):
            if join.kind == "self":
                out.append((join.name, d_bytes, 0, lambda a, f=f: f(a, 0), crafted))
            else:  # the first half of the rows against the second: still no pair
                call = lambda a, f=f: f(a[: len(a) // 2], a[len(a) // 2 :], 0)  # noqa: E731
                out.append((join.name, d_bytes, 0, call, crafted))
    for d_bytes, k, attack in ((16, 0, crafted), (32, 0, crafted), (32, 1, crafted), (8, 3, shared)):

        def fill(a, k=k):
            m.Index(a.shape[1], k).add_batch(a)

        def filled(a, k=k):
            index = m.Index(a.shape[1], k)
            index.add_batch(a)
            rows = a[:: max(len(a) // 2000, 1)]
            return lambda: [index.query(row) for row in rows]

        out.append(("Index.add_batch", d_bytes, k, fill, attack))
        out.append(("Index.query", d_bytes, k, Prepared(filled), attack))
    return out


class Prepared:
    """A measured call whose set-up (filling an index) is not timed: the
    wrapped function returns the call to time."""

    def __init__(self, prepare):
        self.prepare = prepare


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="2000,4000,8000,16000")
    parser.add_argument("--only", default="", help="comma-separated function names (default: all)")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    only = set(filter(None, args.only.split(",")))
    print(
        f"{'function':24} {'attack':8} {'d':>3} {'k':>2} {'n':>7} {'random s':>10} {'crafted s':>10} {'slowdown':>9}"
    )
    for name, d_bytes, k, call, make_attack in searches():
        if only and name not in only:
            continue
        for n in sizes:
            attack = make_attack(n, d_bytes)
            plain = np.random.default_rng(n).integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
            if isinstance(call, Prepared):
                run_plain, run_attack = call.prepare(plain), call.prepare(attack)
            else:
                run_plain = lambda call=call, plain=plain: call(plain)  # noqa: E731
                run_attack = lambda call=call, attack=attack: call(attack)  # noqa: E731
                assert name.startswith("Index") or not run_attack()  # no pair: the output stays empty
            t_plain = seconds(run_plain)
            # Index queries: the best of three rounds, so that a sub-index a
            # first round makes is counted as made (its cost is the fill's).
            prepared = isinstance(call, Prepared)
            t_attack = seconds(run_attack, repeat=3 if prepared or n <= 8000 else 1)
            print(
                f"{name:24} {make_attack.__name__:8} {d_bytes:3} {k:2} {n:7} {t_plain:10.4f} {t_attack:10.4f} "
                f"{t_attack / t_plain:8.1f}x",
                flush=True,
            )


if __name__ == "__main__":
    main()
