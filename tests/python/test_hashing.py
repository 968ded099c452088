"""SimHash of texts against its plain Python reference, and the degenerate
codes that blank inputs hash to."""

import csv
import json

import numpy as np
import pytest
import simhash_reference

from brimel_native import degenerate_mask, from_hex
from brimel_native.hashing import simhash_text

WORDS = ["near", "Duplicate", "TEXT", "café", "日本語", "x1", "42", "naïve", "a"]


def documents(count, seed):
    rng = np.random.default_rng(seed)
    separators = [" ", "  ", "\t", ", ", "-", "\r", "\u00a0", "!? "]
    out = []
    for _ in range(count):
        words = rng.choice(WORDS, size=int(rng.integers(0, 40)))
        out.append("".join(w + separators[int(rng.integers(len(separators)))] for w in words))
    long = " ".join(rng.choice(WORDS, size=1000))  # more shingles than a vote lane counts (255)
    return out + ["", " ", "one", "one two", "x" * 3000, long]


@pytest.mark.parametrize("shingle", [1, 2, 3, 5])
def test_simhash_agrees_with_the_reference(shingle):
    texts = documents(300, seed=shingle)
    codes = simhash_text(texts, shingle)
    expected = [simhash_reference.simhash(t.encode(), shingle) for t in texts]
    assert [int.from_bytes(bytes(row), "big") for row in codes] == expected
    # The same documents as lines of bytes; a missing last newline ends the last one.
    as_lines = "\n".join(texts).encode()
    assert np.array_equal(simhash_text(as_lines, shingle), codes)
    assert simhash_text(b"", shingle).shape == (0, 8)


def test_degenerate_codes():
    codes = np.array(
        [[0] * 8, [255] * 8, [0x0F, 0, 0, 0, 0, 0, 0, 0], [0x1F] + [0] * 7, [0x5A] * 8], np.uint8
    )
    assert degenerate_mask(codes).tolist() == [True, True, True, False, False]
    assert degenerate_mask(codes, max_bits=5).tolist() == [True, True, True, True, False]
    assert degenerate_mask(simhash_text(["", "some words here"])).tolist() == [True, False]


def test_hash_text_command(tmp_path):
    from brimel_native.cli import main

    texts = documents(50, seed=9)
    (tmp_path / "docs.jsonl").write_text("".join(json.dumps({"body": t}) + "\n" for t in texts))
    (tmp_path / "docs.txt").write_text("".join(t.replace("\r", " ") + "\n" for t in texts))
    for source, extra in (("docs.jsonl", ["--field", "body"]), ("docs.txt", [])):
        out = tmp_path / f"{source}.csv"
        assert main(["hash", "text", str(tmp_path / source), "-o", str(out), *extra]) == 0
        rows = list(csv.DictReader(out.open()))
        assert [r["line"] for r in rows] == [str(n) for n in range(1, len(texts) + 1)]
        assert from_hex([r["hash"] for r in rows]).tolist() == simhash_text(texts).tolist()
