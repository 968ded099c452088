"""Saves under a kill, a full disk and concurrency: the file at the path always
loads as the old index or the new one, never a mix, and no temporary file is
left but a killed writer's (which the next save removes)."""

from __future__ import annotations

import functools
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import support
from brimel_native import Bank
from brimel_native import _brimel_native as m

# (constructor(d_bytes, k), loader(path)) of each class that saves; a Bank
# opens its file mapped.
KINDS = [(m.Index, m.Index.load), (Bank, Bank.open)]
EACH_KIND = pytest.mark.parametrize("kind", range(len(KINDS)), ids=[make.__name__ for make, _ in KINDS])
# Wide rows: files of tens of MiB that load in a fraction of a second.
D_BYTES = 1024
OLD, NEW = (16384, 1), (24576, 2)  # (rows, seed)


@functools.lru_cache(maxsize=None)
def codes(rows, seed):
    return support.random_codes(rows, D_BYTES, seed)


def build(kind, rows, seed):
    index = KINDS[kind][0](D_BYTES, 0)
    index.add_batch(codes(rows, seed))
    return index


def check(kind, path, stale=0):
    """`path` loads as OLD or NEW; at most `stale` other files beside it."""
    loaded = KINDS[kind][1](path)
    assert loaded.n in (OLD[0], NEW[0]), loaded.n
    rows, seed = OLD if loaded.n == OLD[0] else NEW
    assert all(loaded.query(codes(rows, seed)[r]) == [(r, 0)] for r in (0, rows // 2, rows - 1))
    assert len(os.listdir(path.parent)) <= 1 + stale, os.listdir(path.parent)
    return "OLD" if rows == OLD[0] else "NEW"


def child(kind, body):
    script = support.PRELUDE + f"import test_durability as t\nkind = {kind}\n" + textwrap.dedent(body)
    return subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE)


@EACH_KIND
def test_a_killed_save_leaves_the_old_file_or_the_new_one(kind, tmp_path):
    path = tmp_path / "saves" / "x.idx"
    path.parent.mkdir()
    build(kind, *OLD).save(path)
    new, start = build(kind, *NEW), time.monotonic()
    new.save(tmp_path / "timed.idx")
    span = time.monotonic() - start
    # On each line "<side> <delay>" the writer forks a child that saves that
    # side, kills it with SIGKILL after the delay and prints its wait status.
    writer = child(
        kind,
        f"""
        import os, signal, time
        sides = {{"OLD": t.build(kind, *t.OLD), "NEW": t.build(kind, *t.NEW)}}
        for line in sys.stdin:
            side, delay = line.split()
            if (pid := os.fork()) == 0:
                sides[side].save({str(path)!r})
                os._exit(0)
            time.sleep(float(delay))
            os.kill(pid, signal.SIGKILL)
            print(os.waitpid(pid, 0)[1], flush=True)
        """,
    )
    rng, saved = np.random.default_rng(0), "OLD"
    for _ in range(20):  # each round saves the side the file does not hold
        writer.stdin.write(f"{'NEW' if saved == 'OLD' else 'OLD'} {rng.uniform(0, span)}\n".encode())
        writer.stdin.flush()
        # Kill points spread over about a child's whole save: some finish.
        span *= 0.8 if writer.stdout.readline() == b"0\n" else 1.25
        saved = check(kind, path, stale=1)
    writer.stdin.close()
    assert writer.wait() == 0
    build(kind, *OLD).save(path)
    check(kind, path)


@EACH_KIND
def test_a_save_past_the_file_size_limit_fails_and_keeps_the_old_file(kind, tmp_path):
    path = tmp_path / "x.idx"
    build(kind, *OLD).save(path)
    build(kind, *NEW).save(tmp_path / "sized.idx")
    size = os.path.getsize(tmp_path / "sized.idx")
    os.remove(tmp_path / "sized.idx")
    writer = child(
        kind,
        f"""
        import errno, os, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # the default kills: the writer must not let it
        index, before = t.build(kind, *t.NEW), open({str(path)!r}, "rb").read()
        for limit in (0, 40, {size // 2}, {size - 1}, {size}):
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
            try:
                index.save({str(path)!r})
            except OSError as error:
                assert error.errno == errno.EFBIG and limit < {size}, (limit, error)
                assert open({str(path)!r}, "rb").read() == before and os.listdir({str(tmp_path)!r}) == ["x.idx"]
            else:
                assert limit == {size}
        """,
    )
    assert writer.wait(timeout=600) == 0
    assert KINDS[kind][1](path).n == NEW[0]


@EACH_KIND
def test_racing_saves_and_loads_meet_one_whole_file(kind, tmp_path):
    path = tmp_path / "x.idx"
    build(kind, *OLD).save(path)
    # Two writers save their own index 20 times each, at once; every load meanwhile
    # reads one of them, beside at most their two temporary files.
    script = f"index = t.build(kind, *t.{{}})\nfor _ in range(20):\n    index.save({str(path)!r})"
    writers = [child(kind, script.format(side)) for side in ("OLD", "NEW")]
    while any(writer.poll() is None for writer in writers):
        check(kind, path, stale=2)
    assert [writer.returncode for writer in writers] == [0, 0]
    check(kind, path)
