"""An Index whose rows share a part: one key lists thousands of rows and gets a
sub-index. Filled in batches and single adds (so sub-indexes are made, caught
up and planned again as their lists grow) and loaded from a file (made at
once), it answers as the reference at every stage."""

import numpy as np
import pytest

import reference
import support
from brimel_native import _brimel_native as m


@pytest.mark.parametrize("d_bytes, k, shared", [(8, 3, 3), (4, 5, 2), (16, 5, 3)])
def test_rows_sharing_a_part_answer_as_the_reference(d_bytes, k, shared, tmp_path):
    stored, _, _ = support.planted(9000, d_bytes, k, seed=k)
    stored[:, :shared] = 0xA5
    rng = np.random.default_rng(k)

    def near(rows):  # each row with 0 to k + 1 bits flipped
        return np.array([support.flip(row, int(rng.integers(0, k + 2)), rng) for row in rows], np.uint8)

    index = m.Index(d_bytes, k)
    bounds = [0, 700, 1100, 1140, 5000, 5010, 9000]
    for lo, hi in zip(bounds, bounds[1:]):
        if hi - lo < 50:
            for row in stored[lo:hi]:
                index.add(row)
        else:
            index.add_batch(stored[lo:hi])
        # Rows anywhere, and the newest rows: the ones a sub-index may not cover yet.
        queries = near(np.concatenate([stored[rng.integers(0, hi, 200)], stored[max(0, hi - 40) : hi]]))
        got = index.query_batch(queries)
        assert list(zip(got.i.tolist(), got.j.tolist(), got.distance.tolist())) == reference.cross_join(
            queries, stored[:hi], k
        )
    index.save(tmp_path / "x.idx")
    loaded = m.Index.load(tmp_path / "x.idx")
    assert all(np.array_equal(a, b) for a, b in zip(loaded.query_batch(queries), got))
