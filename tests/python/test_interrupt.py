"""Long joins, and an Index's long add_batch (which then adds nothing) and
query_batch, stop on Ctrl-C and on a progress callback's exception; progress
counts only grow and end at their total; a process that exits during a join
on another thread exits cleanly."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import support
from brimel_native import find_groups, find_pairs

# 200,000 random 256-bit codes at k = 100: about 30 s of tile scan on two
# cores, and almost no pairs, so stopping frees little.
LONG = (200_000, 32)

CHILD = support.PRELUDE + textwrap.dedent(
    f"""
    import signal, time
    import brimel_native as bn

    # A child started in the background inherits SIGINT ignored; Ctrl-C is restored.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    a = support.random_codes(*{LONG})
    index, filled, many = bn.Index(32, 31), bn.Index(32, 31), a
    if sys.argv[1].startswith("Index"):
        filled.add_batch(a)
        many = np.repeat(a, 40 if sys.argv[1] == "Index.add_batch" else 2, axis=0)
    join = {{
        "find_pairs": lambda: bn.find_pairs(a, 100),
        "find_groups": lambda: bn.find_groups(a, 100),
        "find_pairs_self_adaptive": lambda: bn.find_pairs_self_adaptive(a, 60),
        # 8M rows: seconds of keying, all or nothing.
        "Index.add_batch": lambda: index.add_batch(many),
        "Index.query_batch": lambda: filled.query_batch(many),
    }}[sys.argv[1]]
    print("ready", flush=True)
    try:
        join()
        print("finished", flush=True)
    except KeyboardInterrupt:
        caught = time.monotonic()
        # The engine is usable again at once.
        again = len(bn.find_pairs_self(a[:3000], 3)) == len(bn.find_pairs(a[:3000], 3).i) and index.n == 0
        print("interrupted", caught, again, flush=True)
    """
)


@pytest.mark.skipif(support.SANITIZED, reason="timing of a 30 s join under the sanitizer")
@pytest.mark.parametrize(
    "join", ["find_pairs", "find_groups", "find_pairs_self_adaptive", "Index.add_batch", "Index.query_batch"]
)
def test_sigint_stops_a_long_join(join):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, join], stdout=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)  # well inside the join
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    word, caught, again = out.split()
    latency = float(caught) - sent
    print(f"{join}: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT")
    assert (word, again, child.returncode) == ("interrupted", "True", 0)
    assert latency < 5  # the join alone would take about 30 s


EXIT_CHILD = textwrap.dedent(
    f"""
    import atexit, sys, threading, time
    import numpy as np
    # Registered before the engine's own exit callback, so run after it, on the
    # exiting thread: its join runs as usual.
    atexit.register(lambda: print("late join", len(bn.find_pairs_self(a[:1000], 3))))
    import brimel_native as bn

    a = np.random.default_rng(0).integers(0, 256, {LONG}, dtype=np.uint8)
    joins = {{
        "find_pairs": lambda: bn.find_pairs(a, 100),
        "find_groups": lambda: bn.find_groups(a, 100),
        "find_pairs_self_bit": lambda: bn.find_pairs_self_bit(a, 100),
        "progress": lambda: bn.find_pairs(a, 100, progress=lambda done, total: None),
    }}
    if sys.argv[1] == "dask":
        from distributed import Client, LocalCluster
        client = Client(LocalCluster(n_workers=1, threads_per_worker=2, processes=False))
        futures = [client.submit(joins[name], pure=False) for name in ("find_pairs", "find_groups")]
    else:
        for _ in range(2):
            threading.Thread(target=joins[sys.argv[1]], daemon=True).start()
    time.sleep(1)  # the joins are running
    sys.exit("the script fails")
    """
)


@pytest.mark.parametrize("start", ["find_pairs", "find_groups", "find_pairs_self_bit", "progress", "dask"])
def test_exit_during_a_join_on_another_thread_is_clean(start):
    """It was SIGABRT: CPython ends a daemon thread at finalisation as it takes the
    interpreter lock back, and the unwinding destroyed the running engine thread."""
    if start == "dask":
        pytest.importorskip("distributed")
    done = subprocess.run(
        [sys.executable, "-c", EXIT_CHILD, start], capture_output=True, text=True, timeout=300
    )
    assert (done.returncode, done.stdout) == (1, "late join 0\n"), done.stderr


@pytest.mark.parametrize("join", [find_pairs, find_groups])
def test_progress_grows_to_its_total_and_a_raising_callback_stops_the_join(join):
    codes = support.random_codes(20_000, 32, seed=1)
    calls = []
    result = join(codes, 100, progress=lambda done, total: calls.append((done, total)))
    np.testing.assert_equal(result, join(codes, 100))
    done = [d for d, _ in calls]
    total = calls[-1][1]
    assert done == sorted(done) and done[-1] == total > 0
    assert {t for _, t in calls} <= {0, total} and total % codes.shape[0] == 0  # parts x rows

    def stop(done, total):
        raise LookupError("stopped at", done, total)

    with pytest.raises(LookupError, match="stopped at"):
        join(support.random_codes(*LONG), 100, progress=stop)


def test_progress_bar_needs_tqdm(monkeypatch):
    codes = support.random_codes(100, 8)
    with pytest.raises(TypeError, match="progress must be"):
        find_pairs(codes, 3, progress=1)
    pytest.importorskip("tqdm")
    assert find_groups(codes, 20, progress=True).tolist() == find_groups(codes, 20).tolist()
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"brimel_native\[progress\]"):
        find_pairs(codes, 3, progress=True)
