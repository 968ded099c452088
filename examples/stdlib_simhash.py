"""Near-duplicate paragraphs in the Python standard library's own sources.

Every paragraph (a run of non-blank lines) of every .py file under the standard
library becomes one 64-bit SimHash code over its word bigrams; find_pairs_self
then returns every pair of paragraphs within Hamming distance k (default 3).
Prints the counts, the closest pairs with a snippet of each, and the time each
step took.

    python examples/stdlib_simhash.py [--k 3] [--root DIR] [--show 8] [--write-hex FILE]

With --write-hex the codes are also written one hex code per line (row r on
line r + 1), the input the `brimel` command line reads:

    python examples/stdlib_simhash.py --write-hex stdlib.hex
    brimel groups stdlib.hex -k 3 -o groups.csv
"""

from __future__ import annotations

import argparse
import hashlib
import re
import sysconfig
import time
from pathlib import Path

import numpy as np

from brimel_native import find_pairs_self

WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|\d+")
MIN_TOKENS = 12


def paragraphs(root: Path):
    """Yields (file, first line number, text) for each paragraph of each file."""
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts:
            continue
        try:
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        except OSError:
            continue
        start = None
        for number, line in enumerate(lines + [""], 1):
            if line.strip():
                if start is None:
                    start = number
            elif start is not None:
                yield path, start, "\n".join(lines[start - 1 : number - 1])
                start = None


def token_hash(token: str) -> int:
    return int.from_bytes(hashlib.blake2b(token.encode(), digest_size=8).digest(), "little")


def simhash(units: list[list[str]]) -> np.ndarray:
    """64-bit SimHash of each unit's tokens, as an (n, 8) uint8 code matrix.

    Bit b of a code is set when more of the unit's tokens have bit b set in
    their hash than not: near-identical texts get codes a few bits apart."""
    vocabulary: dict[str, int] = {}
    ids = [vocabulary.setdefault(t, len(vocabulary)) for unit in units for t in unit]
    hashes = np.fromiter((token_hash(t) for t in vocabulary), dtype=np.uint64, count=len(vocabulary))
    # +1 / -1 per bit of each token hash; bit 0 is the most significant bit.
    shifts = np.arange(63, -1, -1, dtype=np.uint64)
    bits = ((hashes[:, None] >> shifts) & np.uint64(1)).astype(np.uint8)
    ids = np.asarray(ids, dtype=np.int64)
    starts = np.cumsum([0] + [len(u) for u in units[:-1]])
    codes = np.empty((len(units), 8), dtype=np.uint8)
    batch = 20000
    for first in range(0, len(units), batch):
        last = min(first + batch, len(units))
        lo, hi = starts[first], (starts[last] if last < len(units) else len(ids))
        ones = np.add.reduceat(bits[ids[lo:hi]], starts[first:last] - lo, axis=0, dtype=np.int32)
        lengths = np.diff(np.append(starts[first:last], hi))
        codes[first:last] = np.packbits(2 * ones > lengths[:, None], axis=1)
    return codes


def snippet(text: str, width: int = 72) -> str:
    first = next((line.strip() for line in text.splitlines() if line.strip()), "")
    return first if len(first) <= width else first[: width - 3] + "..."


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k", type=int, default=3, help="largest Hamming distance reported")
    parser.add_argument(
        "--root",
        type=Path,
        default=Path(sysconfig.get_paths()["stdlib"]),
        help="directory of .py files (default: this Python's standard library)",
    )
    parser.add_argument("--show", type=int, default=8, help="closest pairs to print")
    parser.add_argument("--write-hex", type=Path, help="also write the codes here, one hex code per line")
    args = parser.parse_args()

    t0 = time.perf_counter()
    found = []
    units = []
    for path, line, text in paragraphs(args.root):
        words = WORD.findall(text)
        if len(words) < MIN_TOKENS:
            continue
        found.append((path, line, text))
        units.append([a + " " + b for a, b in zip(words, words[1:])])
    t1 = time.perf_counter()
    codes = simhash(units)
    t2 = time.perf_counter()
    if args.write_hex:
        args.write_hex.write_text("".join(code.tobytes().hex() + "\n" for code in codes))
    pairs = find_pairs_self(codes, args.k)
    t3 = time.perf_counter()

    files = len({p for p, _, _ in found})
    print(f"corpus: {args.root} ({files} files)")
    print(f"codes:  {len(codes)} paragraphs of {MIN_TOKENS}+ tokens, 64-bit SimHash")
    print(f"pairs:  {len(pairs)} within distance {args.k}")
    by_distance = np.bincount([d for _, _, d in pairs], minlength=args.k + 1) if pairs else []
    for d, count in enumerate(by_distance):
        print(f"        distance {d}: {count}")

    # Closest pairs whose texts differ (equal texts are trivially at distance 0),
    # each paragraph shown once.
    shown = 0
    seen: set[int] = set()
    identical = sum(found[i][2] == found[j][2] for i, j, _ in pairs)
    print(f"        identical texts: {identical}")
    print("\nclosest pairs with different text:")
    for i, j, d in sorted(pairs, key=lambda t: (t[2], t[0], t[1])):
        if found[i][2] == found[j][2] or i in seen or j in seen:
            continue
        seen.update((i, j))
        for side, idx in (("", i), ("  ~", j)):
            path, line, text = found[idx]
            where = f"{path.relative_to(args.root)}:{line}"
            print(f"  {'d=' + str(d) if not side else side:>4} {where:<40} {snippet(text)}")
        shown += 1
        if shown == args.show:
            break

    print("\ntimings:")
    print(f"  read and tokenize   {t1 - t0:7.3f} s")
    print(f"  SimHash             {t2 - t1:7.3f} s")
    print(f"  find_pairs_self     {t3 - t2:7.3f} s")


if __name__ == "__main__":
    main()
