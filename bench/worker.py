"""Runs one method on one case in a process of its own; called by bench/run.py.

    python bench/worker.py '<json request>'

The request names the method (kind and name), the case, the .npz file holding its
arrays, the number of runs and threads, and where to save the result pairs.
The last line of stdout is a JSON object with the run times (seconds) and
their CPU seconds (in every process each run used), the process's resident
memory before the first run and its peak (KiB), the number of pairs and, for
streaming methods, the metrics of each run.

A request naming "methods" (a list) and "rounds" instead times those methods
together: one untimed run of each, then round after round one run of each in
turn (each round in an order of its own), so that the process's
placement and the machine's drift fall on all of them alike. Its last line
is {"times": {method: [seconds, ...]}}. Methods with a `prepare` step are not
timed this way.
"""

from __future__ import annotations

import gc
import json
import sys
import time

import numpy as np

import methods
from workloads import Case

# A pair join's first run in a process pays for what later calls reuse: the
# library's first calls, the thread pool's start, the first touch of fresh
# memory. A first run shorter than this (seconds) is a warm-up, not timed;
# a longer one is timed, as those costs are small beside it.
WARM_UP_S = 1.0
# Runs shorter than these (seconds) vary with the machine's noise by about as
# much as the methods differ (a stolen time slice is a large share of them):
# at least SHORT_RUNS and MEDIUM_RUNS of them are timed.
SHORT_RUN_S = 0.1
SHORT_RUNS = 21
MEDIUM_RUN_S = 1.0
MEDIUM_RUNS = 5


def paired(request: dict) -> None:
    case = Case(**request["case"])
    chosen = [methods.find(case.kind, name) for name in request["methods"]]
    arrays = dict(np.load(request["data"]))
    inputs = (arrays["a"],) if case.kind == "self" else (arrays["queries"], arrays["refs"])
    for method in chosen:
        method.load()
    times: dict[str, list[float]] = {method.name: [] for method in chosen}
    order = np.random.default_rng(0)
    for round_ in range(request["rounds"] + 1):
        # Each round in an order of its own: a run is slowed or sped by what
        # ran just before it (a list join by 13% on 3,000 PDQ-like rows when
        # find_pairs ran before it), so a fixed order, rotated or not, would
        # favour some methods throughout.
        for m in order.permutation(len(chosen)):
            method = chosen[m]
            start = time.perf_counter()
            raw = method.solve(*inputs, case.k, request["threads"])
            elapsed = time.perf_counter() - start
            del raw
            if round_:  # round 0 is the warm-up
                times[method.name].append(elapsed)
        gc.collect()  # between rounds: a pause after each run lets the pool's threads fall asleep
    print(json.dumps({"times": times}))


def main() -> None:
    request = json.loads(sys.argv[1])
    if "methods" in request:
        paired(request)
        return
    case = Case(**request["case"])
    method = methods.find(case.kind, request["method"])
    arrays = dict(np.load(request["data"]))
    threads = request["threads"]
    runs = request["runs"]
    method.load()
    gc.collect()
    rss_before = methods.rss_kb()

    times: list[float] = []
    cpu_times: list[float] = []  # CPU seconds of each timed run, in every process it used
    stream_metrics: list[dict] = []
    stats = None
    pairs = None
    # The peak of the first run, read before its result is converted for the
    # cross-check: later runs would count the kept copy of the first result.
    peak_rss = None
    streaming = case.kind in ("stream", "batch")
    warmed = False
    while len(stream_metrics if streaming else times) < runs:
        if streaming:
            metrics, result = method.stream(arrays["stored"], arrays["queries"], case.k, threads)
            stream_metrics.append(metrics)
            peak_rss = peak_rss or methods.rss_kb("VmHWM")
        else:
            args = (arrays["a"],) if case.kind == "self" else (arrays["queries"], arrays["refs"])
            if method.prepare:
                args = method.prepare(*args)
            cpu_before = methods.cpu_s()
            start = time.perf_counter()
            raw = method.solve(*args, case.k, threads)
            elapsed = time.perf_counter() - start
            cpu = methods.cpu_s() - cpu_before + (method.other_cpu_s(raw) if method.other_cpu_s else 0.0)
            peak_rss = peak_rss or methods.rss_kb("VmHWM")
            if warmed or elapsed >= WARM_UP_S:
                times.append(elapsed)
                cpu_times.append(cpu)
                if len(times) == 1 and elapsed < SHORT_RUN_S:
                    runs = max(runs, SHORT_RUNS)
                elif len(times) == 1 and elapsed < MEDIUM_RUN_S:
                    runs = max(runs, MEDIUM_RUNS)
            warmed = True
            if method.stats and not method.counted:
                stats = method.stats(raw)
            result = method.to_pairs(raw)
            del raw
        if pairs is None:
            pairs = result
        elif not np.array_equal(pairs, result):
            raise SystemExit(f"{method.name}: runs of the same input gave different pairs")
        del result
        gc.collect()

    if method.counted:
        stats = method.stats(method.counted(*args, case.k, threads))
    np.save(request["out"], pairs)
    print(
        json.dumps(
            {
                "times": times,
                "cpu_times": cpu_times,
                "stream": stream_metrics,
                "rss_before_kb": rss_before,
                "peak_rss_kb": peak_rss or methods.rss_kb("VmHWM"),
                # find_groups: the number of groups
                "pairs": int(pairs.shape[0])
                if method.result == "pairs"
                else int(np.count_nonzero(pairs == np.arange(pairs.shape[0]))),
                "stats": stats,
            }
        )
    )


if __name__ == "__main__":
    main()
