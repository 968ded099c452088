"""How the adaptive join's chunk planning grows with the code width at k = d_bytes:
two rows that differ in every bit, so all 8 * d_bytes bits vary and each is
dealt to one of the k + 1 position lists. Dealing a bit used to scan all k + 1
lists (time x4 per doubling of the width: 8.6 s at 16 KiB rows); it now takes a
heap step (about x2 per doubling). Prints each width's time and its ratio to
the previous width's.

    .venv/bin/python bench/planning.py [--widths 1024,2048,4096,8192]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from brimel_native import find_pairs_self_adaptive


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--widths", default="1024,2048,4096,8192")
    args = parser.parse_args()
    previous = None
    print(f"{'d_bytes':>8} {'k':>6} {'seconds':>9} {'x previous':>10}")
    for d_bytes in (int(w) for w in args.widths.split(",")):
        codes = np.zeros((2, d_bytes), np.uint8)
        codes[1] = 0xFF
        start = time.perf_counter()
        pairs = find_pairs_self_adaptive(codes, d_bytes)
        elapsed = time.perf_counter() - start
        assert pairs == []  # the rows are 8 * d_bytes > k bits apart
        ratio = f"{elapsed / previous:10.1f}" if previous else f"{'':>10}"
        print(f"{d_bytes:8} {d_bytes:6} {elapsed:9.4f} {ratio}", flush=True)
        previous = elapsed


if __name__ == "__main__":
    main()
