"""64-bit SimHash of texts: brimel_native.hashing.simhash_text (native, all
cores) against the pure-Python `simhash` package on the same documents, in the
same run, and the CSV writer of the command line against its .npy writer.

The documents are generated from a fixed seed: `--documents` texts of 50 to 400
words drawn from a Zipf-like vocabulary of 20,000 words, about the size of
news paragraphs. Each side hashes every document with its own defaults
(`simhash.Simhash(text).value`: character 4-grams, MD5; ours: word 3-gram
shingles, FNV-1a + fmix64); the codes differ, the work per document is what is
compared. Best of `--rounds` rounds each; the package is timed on a prefix of
the documents (`--python-documents`) and scaled per document.

    .venv/bin/python -m pip install simhash
    .venv/bin/python bench/text_hashing.py [--documents 21000] [--python-documents 2000] [--rounds 3]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np

from brimel_native.cli import main as brimel
from brimel_native.hashing import simhash_text


def corpus(count: int, seed: int = 0) -> list[str]:
    rng = np.random.default_rng(seed)
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    vocabulary = ["".join(rng.choice(letters, size=int(rng.integers(2, 10)))) for _ in range(20_000)]
    weights = 1.0 / np.arange(1, len(vocabulary) + 1)
    weights /= weights.sum()
    lengths = rng.integers(50, 400, size=count)
    words = rng.choice(len(vocabulary), size=int(lengths.sum()), p=weights)
    starts = np.concatenate([[0], np.cumsum(lengths)])
    return [" ".join(vocabulary[w] for w in words[starts[d] : starts[d + 1]]) for d in range(count)]


def best(rounds: int, run) -> float:
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=21_000)
    parser.add_argument("--python-documents", type=int, default=2_000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    from simhash import Simhash  # the peer: pip install simhash

    texts = corpus(args.documents)
    words = sum(t.count(" ") + 1 for t in texts)
    print(f"corpus: {len(texts)} documents, {words} words, {sum(map(len, texts)) / 1e6:.1f} MB")
    ours = best(args.rounds, lambda: simhash_text(texts))
    as_bytes = "\n".join(texts).encode()
    ours_bytes = best(args.rounds, lambda: simhash_text(as_bytes))
    prefix = texts[: args.python_documents]
    peer = best(args.rounds, lambda: [Simhash(t).value for t in prefix]) * len(texts) / len(prefix)
    print(f"simhash_text (list of str)   {ours:8.3f} s   {len(texts) / ours:12,.0f} documents/s")
    print(f"simhash_text (lines, bytes)  {ours_bytes:8.3f} s   {len(texts) / ours_bytes:12,.0f} documents/s")
    print(f"simhash package (scaled)     {peer:8.3f} s   {len(texts) / peer:12,.0f} documents/s")
    print(f"ratio: {peer / ours:.0f}x faster (list of str), {peer / ours_bytes:.0f}x (lines)")

    # The command line's writers on 8 million pairs: 4,000 equal codes.
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "equal.npy")
        np.save(source, np.full((4000, 8), 0x55, dtype=np.uint8))
        times = {}
        for suffix in ("npy", "csv"):
            out = os.path.join(folder, f"pairs.{suffix}")
            times[suffix] = best(
                args.rounds, lambda o=out: brimel(["pairs", source, "-k", "0", "-o", o, "--no-progress"])
            )
        print(
            f"brimel pairs, 7,998,000 pairs: .npy {times['npy']:.2f} s, .csv {times['csv']:.2f} s "
            f"(csv / npy = {times['csv'] / times['npy']:.2f})"
        )


if __name__ == "__main__":
    main()
