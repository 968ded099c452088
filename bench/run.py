"""Benchmarks brimel_native against faiss on generated workloads, cross-checking results.

    python bench/run.py            # quick: a few minutes on 2 cores
    python bench/run.py --full     # the committed results: larger n, longer

Every method runs in a subprocess of its own (bench/worker.py) with the same
number of threads, several times; the median time and the process's peak
resident memory are reported. The pairs of every method are compared with
those of our first method that ran on the same case; any difference fails the
run. Writes bench/RESULTS.md, bench/results.png and bench/results.json.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import methods  # noqa: E402
import report  # noqa: E402
from workloads import Case, make_data, workloads  # noqa: E402

# Per-run budgets of the peers whose cost grows with n^2 (see Method.work):
# 64-bit word comparisons for faiss IndexBinaryFlat, bit comparisons for the
# bit-by-bit brute force.
WORK_LIMITS = {False: {"faiss": 2.5e10, "reference": 3.5e9}, True: {"faiss": 5e10, "reference": 3.5e9}}
# A method whose median run is shorter than this (seconds) is timed again: on
# such runs one process's placement (its CPU, its memory) biases every one of
# its runs alike, by as much as the methods differ (medians of 0.48 to 0.71 ms
# in four processes of one method on 5,000 rows). Our own such methods are
# timed together in one more process, round by round, PAIRED_ROUNDS runs each,
# and those times are reported; a peer's runs in SHORT_PROCESSES processes in
# all are pooled (a peer's threads, kept spinning after its call, would slow
# whichever method ran next in a shared process).
SHORT_MEDIAN_S = 0.1
SHORT_PROCESSES = 3
PAIRED_ROUNDS = 41


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


class Runner:
    def __init__(self, args: argparse.Namespace, workdir: Path):
        self.args = args
        self.workdir = workdir
        self.rows: list[dict] = []
        self.mismatches: list[str] = []

    def skip_reason(self, method: methods.Method, case: Case) -> str | None:
        limit = WORK_LIMITS[self.args.full].get(method.requires)
        if method.work and limit and method.work(case) > limit:
            return f"skipped: O(n^2) scan too long at this size ({method.work(case):.1e} steps per run)"
        return None

    def spawn(self, job: dict) -> subprocess.CompletedProcess | str:
        """bench/worker.py run on `job`, or why it failed."""
        try:
            proc = subprocess.run(
                [sys.executable, str(HERE / "worker.py"), json.dumps(job)],
                capture_output=True,
                text=True,
                timeout=self.args.timeout,
                env=methods.thread_environment(self.args.threads),
                cwd=HERE,
            )
        except subprocess.TimeoutExpired:
            return f"timed out after {self.args.timeout} s"
        if proc.returncode != 0:
            tail = (proc.stderr.strip().splitlines() or ["(no output)"])[-1]
            how = f"signal {-proc.returncode}" if proc.returncode < 0 else f"exit {proc.returncode}"
            return f"failed ({how}): {tail[:200]}"
        return proc

    def run_worker(self, method: methods.Method, case: Case, data_path: Path) -> dict:
        out = self.workdir / f"{case.key}__{method.name.replace(' ', '_').replace('/', '_')}.npy"
        job = {
            "method": method.name,
            "case": case.__dict__,
            "data": str(data_path),
            "runs": case.runs or self.args.runs,
            "threads": self.args.threads,
            "out": str(out),
        }
        started = time.perf_counter()
        proc = self.spawn(job)
        if isinstance(proc, str):
            return {"status": "failed", "note": proc}
        result = json.loads(proc.stdout.strip().splitlines()[-1])
        result.update(status="ok", pairs_file=str(out), wall=time.perf_counter() - started)
        return result

    def run_paired(self, case: Case, data_path: Path, short: list[tuple[methods.Method, dict]]) -> None:
        """Times `short` (our methods whose runs are short) together in one
        process, round by round; their times become these."""
        job = {
            "methods": [method.name for method, _ in short],
            "case": case.__dict__,
            "data": str(data_path),
            "rounds": PAIRED_ROUNDS,
            "threads": self.args.threads,
        }
        proc = self.spawn(job)
        if isinstance(proc, str):
            log(f"[{case.key}] paired timing {proc}; each method's own process's times are kept")
            return
        times = json.loads(proc.stdout.strip().splitlines()[-1])["times"]
        for method, row in short:
            row["times"] = times[method.name]
            row["paired"] = True

    def run_case(self, case: Case) -> None:
        data = make_data(case)
        data_path = self.workdir / f"{case.key}.npz"
        np.savez(data_path, **data)
        case_rows = []
        ran: list[tuple[methods.Method, dict]] = []
        for method in methods.methods_for(case):
            row = {"case": case.__dict__, "case_key": case.key, "method": method.name, "ours": method.ours}
            reason = method.available()
            status = "not available" if reason else None
            if not reason:
                reason = method.applies(case)
                status = "n/a" if reason else None
            if not reason:
                reason = self.skip_reason(method, case)
                status = "skipped" if reason else None
            if reason:
                row.update(status=status, note=reason)
                log(f"[{case.key}] {method.name}: {reason}")
            else:
                row.update(self.run_worker(method, case, data_path))
                ran.append((method, row))
            case_rows.append(row)
        short = [
            (method, row)
            for method, row in ran
            if row["status"] == "ok" and not row["stream"] and np.median(row["times"]) < SHORT_MEDIAN_S
        ]
        ours = [(method, row) for method, row in short if method.ours and not method.prepare]
        if len(ours) > 1:
            self.run_paired(case, data_path, ours)
        peers = [(method, row) for method, row in short if not row.get("paired")]
        # The other short runs (the peers', and ours when only one is short)
        # in more processes, round by round across the methods, so that the
        # machine's drift falls on all of them alike.
        for _ in range(SHORT_PROCESSES - 1):
            for method, row in peers:
                if row["status"] != "ok":
                    continue
                more = self.run_worker(method, case, data_path)
                if more["status"] == "ok":
                    row["times"] = row["times"] + more["times"]
                    row["cpu_times"] = row["cpu_times"] + more["cpu_times"]
                else:
                    row.update(status="failed", note=more["note"])
        for method, row in ran:
            if row.get("stats"):  # the engine's own account: plan and pairs verified
                row["candidates"] = row["stats"]["verified"]
                row["plan"] = row["stats"]["plan"]
            log(f"[{case.key}] {method.name}: {describe(row)}")
        self.cross_check(case, case_rows)
        self.rows.extend(case_rows)
        for row in case_rows:
            if row.get("pairs_file"):
                Path(row.pop("pairs_file")).unlink(missing_ok=True)
        data_path.unlink(missing_ok=True)

    def cross_check(self, case: Case, rows: list[dict]) -> None:
        ran = [r for r in rows if r["status"] == "ok"]
        anchors = [r for r in ran if methods.find(case.kind, r["method"]).result == "pairs"]
        if not anchors:
            return
        anchor = anchors[0]
        anchor["check"] = "reference"
        expected = np.load(anchor["pairs_file"])
        labels = None
        for row in ran:
            if row is anchor:
                continue
            got = np.load(row["pairs_file"])
            if methods.find(case.kind, row["method"]).result == "groups":
                if labels is None:
                    labels = methods.components(expected, case.n)
                row["check"] = "match" if np.array_equal(labels, got) else "MISMATCH"
                if row["check"] == "MISMATCH":
                    text = (
                        f"{case.key}: {row['method']} labels differ from the components of {anchor['method']}"
                    )
                    self.mismatches.append(text)
                    log("\n" + "!" * 78 + f"\n!! RESULT MISMATCH: {text}\n" + "!" * 78 + "\n")
                continue
            if np.array_equal(expected, got):
                row["check"] = "match"
                continue
            row["check"] = "MISMATCH"
            missing = set(map(tuple, expected.tolist())) - set(map(tuple, got.tolist()))
            extra = set(map(tuple, got.tolist())) - set(map(tuple, expected.tolist()))
            text = (
                f"{case.key}: {row['method']} gave {len(got)} pairs, {anchor['method']} gave "
                f"{len(expected)}; missing {sorted(missing)[:5]}, extra {sorted(extra)[:5]}"
            )
            self.mismatches.append(text)
            log("\n" + "!" * 78 + f"\n!! RESULT MISMATCH: {text}\n" + "!" * 78 + "\n")


def describe(row: dict) -> str:
    if row["status"] != "ok":
        return row["note"]
    peak = f"peak RSS {row['peak_rss_kb'] / 1024:.0f} MiB"
    if row["stream"] and row["case"]["kind"] == "batch":
        m = report.median_metrics(row["stream"])
        saved = (
            f", save {m['save_s']:.3f} s, load {m['load_s']:.3f} s, mapped open to first answer "
            f"{m['open_first_answer_s']:.3f} s, {m['file_bytes_per_row']:.1f} B/row in the file"
            if "save_s" in m
            else ""
        )
        return f"{m['queries_per_s']:,.0f} queries/s{saved}, {peak}, {row['pairs']:,} hits"
    if row["stream"]:
        m = report.median_metrics(row["stream"])
        return (
            f"add_batch {m['add_batch_rows_per_s']:,.0f} rows/s, query p50 {m['query_p50_us']:.1f} us, "
            f"p99 {m['query_p99_us']:.1f} us, {m['bytes_per_row']:.0f} B/row, {peak}"
        )
    return f"{np.median(row['times']):.3f} s (median of {len(row['times'])}), {peak}, {row['pairs']:,} pairs"


def rewrite_report(args: argparse.Namespace) -> int:
    saved = json.loads(args.from_json.read_text())
    args.full, args.runs = saved["full"], saved["runs"]
    chosen = [w for w in workloads(args.full) if any(r["case"]["workload"] == w.name for r in saved["rows"])]
    report.write_markdown(
        args.out / "RESULTS.md",
        chosen,
        saved["rows"],
        saved["machine"],
        args,
        saved["elapsed_s"],
        saved["mismatches"],
    )
    report.write_plot(args.out / "results.png", saved["rows"])
    log(f"rewrote {args.out / 'RESULTS.md'} and {args.out / 'results.png'} from {args.from_json}")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--full", action="store_true", help="the larger sizes (the committed results)")
    parser.add_argument("--only", default="", help="comma-separated workloads to run, e.g. W1,W3")
    parser.add_argument("--runs", type=int, default=3, help="runs per method (median reported)")
    parser.add_argument(
        "--threads",
        type=int,
        default=len(os.sched_getaffinity(0)),
        help="threads for every method (default: the usable CPUs)",
    )
    parser.add_argument("--timeout", type=int, default=None, help="seconds per method and case")
    parser.add_argument("--out", type=Path, default=HERE, help="directory for RESULTS.md and the plot")
    parser.add_argument(
        "--from-json",
        type=Path,
        default=None,
        help="rewrite RESULTS.md and the plot from a results.json, running nothing",
    )
    args = parser.parse_args()
    if args.from_json:
        return rewrite_report(args)
    if args.timeout is None:
        args.timeout = 3600 if args.full else 300
    only = {w.strip().upper() for w in args.only.split(",") if w.strip()}

    os.environ.setdefault("RAYON_NUM_THREADS", str(args.threads))
    load_start = [round(x, 2) for x in os.getloadavg()]
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="brimel-bench-") as tmp:
        runner = Runner(args, Path(tmp))
        chosen = [w for w in workloads(args.full) if not only or w.name in only]
        for workload in chosen:
            for case in workload.cases:
                runner.run_case(case)
    elapsed = time.perf_counter() - started

    machine = report.machine_info(args.threads)
    machine["load_start"] = load_start
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "results.json").write_text(
        json.dumps(
            {
                "machine": machine,
                "full": args.full,
                "runs": args.runs,
                "elapsed_s": elapsed,
                "mismatches": runner.mismatches,
                "rows": runner.rows,
            },
            indent=1,
            default=float,
        )
    )
    report.write_markdown(
        args.out / "RESULTS.md", chosen, runner.rows, machine, args, elapsed, runner.mismatches
    )
    report.write_plot(args.out / "results.png", runner.rows)
    log(f"wrote {args.out / 'RESULTS.md'} and {args.out / 'results.png'} in {elapsed:.0f} s")
    if runner.mismatches:
        log("\n" + "!" * 78)
        for text in runner.mismatches:
            log(f"!! RESULT MISMATCH: {text}")
        log("!" * 78)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
