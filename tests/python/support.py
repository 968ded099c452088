"""Test data shared by the Python tests (codes of the shapes real codes have, with
pairs planted at distance exactly k and k + 1), and the harness for what can
crash (a subprocess)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np

# Set by scripts/sanitize.sh: under AddressSanitizer no test can lower the
# address-space limit (the runtime reserves it all at start-up) and freed memory
# sits in quarantine.
SANITIZED = bool(os.environ.get("BRIMEL_SANITIZED"))
FLAVOURS = ("random", "constant", "skewed", "equal")
HERE = Path(__file__).resolve().parent


def random_codes(n: int, d_bytes: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 256, size=(n, d_bytes), dtype=np.uint8)


def flip(row: np.ndarray, count: int, rng: np.random.Generator) -> np.ndarray:
    """A copy of `row` at Hamming distance exactly min(count, its bits)."""
    out = row.copy()
    for bit in rng.choice(8 * row.shape[0], size=min(count, 8 * row.shape[0]), replace=False):
        out[bit // 8] ^= np.uint8(0x80 >> (bit % 8))
    return out


def shaped_codes(n: int, d_bytes: int, flavour: str, rng: np.random.Generator) -> np.ndarray:
    """random: uniform bytes; constant: about half the columns one value in every
    row; skewed: bytes mostly 0, else 1, 0x80 or 0xff; equal: one row repeated,
    two bits flipped in every third row."""
    codes = rng.integers(0, 256, size=(n, d_bytes), dtype=np.uint8)
    if flavour == "constant":
        columns = rng.random(d_bytes) < 0.5
        codes[:, columns] = rng.integers(0, 256, size=int(columns.sum()), dtype=np.uint8)
    elif flavour == "skewed":
        values = np.array([0, 1, 0x80, 0xFF], dtype=np.uint8)
        codes = values[rng.choice(4, size=(n, d_bytes), p=[0.7, 0.1, 0.1, 0.1])]
    elif flavour == "equal":
        codes[:] = codes[:1]
        for r in range(0, n, 3):
            codes[r] = flip(codes[r], 2, rng)
    return codes


def planted(n: int, d_bytes: int, k: int, flavour: str = "random", seed: int = 0):
    """Rows of `flavour`; with two rows or more one pair at distance exactly k,
    with four or more one at exactly k + 1 (when the width allows), the rest
    random rows, exact duplicates and near-duplicates within k. Returns
    (codes, at_k, beyond_k), the planted pairs (i, j) with i < j, or None."""
    rng = np.random.default_rng(seed)
    codes = shaped_codes(n, d_bytes, flavour, rng)
    order = [int(r) for r in rng.permutation(n)]
    at_k = tuple(sorted(order[:2])) if n >= 2 else None
    beyond_k = tuple(sorted(order[2:4])) if n >= 4 and k < 8 * d_bytes else None
    for pair, distance in ((at_k, k), (beyond_k, k + 1)):
        if pair:
            codes[pair[1]] = flip(codes[pair[0]], distance, rng)
    for target in order[4:]:
        source, kind = int(rng.integers(0, n)), rng.integers(0, 3)
        if kind < 2:
            codes[target] = flip(codes[source], 0 if kind == 0 else int(rng.integers(0, k + 1)), rng)
    return codes, at_k, beyond_k


PRELUDE = f"""
import resource, sys, threading
import numpy as np
sys.path[:0] = [{str(HERE)!r}, {str(HERE.parent / "reference")!r}]
import catalog, support
from brimel_native import _brimel_native as m

def limit_address_space(extra_mib):
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (extra_mib << 20), resource.RLIM_INFINITY))
"""


def run_script(body: str, **env: str) -> subprocess.CompletedProcess:
    """Runs `body` after PRELUDE in a fresh interpreter (what could crash the
    process, or needs its own pool size or address-space limit); a crash or a
    nonzero exit fails the test."""
    done = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ, **env),
    )
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    return done
