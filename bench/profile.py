"""Where find_pairs_self spends its instructions on W1 and W3, measured with callgrind.

    python bench/profile.py          # writes bench/PROFILE.md

Builds an unstripped copy of the module (build/profile, installed into a
temporary directory, never into .venv), then runs each scenario once under
valgrind's callgrind on one worker thread, collecting only inside the
find_pairs_self call. Costs are instructions executed (Ir), inclusive, split
into the join's stages. They are not cycles: cache misses and the kernel's page
faults are not counted, so memory-bound stages weigh more in wall time than
here.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import candidates  # noqa: E402
import workloads  # noqa: E402

# (label, workload, n, k): one call each.
SCENARIOS = [
    ("W1, 64-bit, k = 3, n = 1,000,000", "W1", 1_000_000, 3),
    ("W3, 256-bit, k = 15, n = 200,000", "W3", 200_000, 15),
    ("W3, 256-bit, k = 31, n = 20,000", "W3", 20_000, 31),
]

# Stage -> functions whose inclusive cost it is (first match of the pattern in
# callgrind_annotate's function names).
STAGES = [
    ("candidate generation (chunk tables, pair emission)", r"brimel::candidates_for_chunk\("),
    ("verification (verify_with_prefetch)", r"brimel::verify_with_prefetch(\.\w+)?\("),
    ("sort of the verified records", r"void tbb::detail::d1::parallel_quick_sort<.*PairRecord"),
    ("result list building (pairs_to_list)", r"brimel::binding::pairs_to_list\("),
]
ENTRY = r"brimel::binding::find_pairs_self\("

DRIVER = """
import sys
sys.path.insert(0, {bench!r})
import workloads
import brimel_native as bn
make = {{"W1": workloads.simhash_like, "W3": workloads.pdq_like}}[sys.argv[1]]
a = make(int(sys.argv[2]), workloads.SEED)
bn.find_pairs_self(a, int(sys.argv[3]))
"""


def build(target: Path) -> None:
    # A fresh configure: no cached flags from another build in the same directory.
    shutil.rmtree(ROOT / "build" / "profile", ignore_errors=True)
    subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "-q",
            "--no-build-isolation",
            "--no-deps",
            "--target",
            str(target),
            "--config-settings=install.strip=false",
            "--config-settings=build-dir=build/profile",
            str(ROOT),
        ],
        check=True,
        cwd=ROOT,
    )


def inclusive_costs(out_file: Path) -> dict[str, int]:
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out_file)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    costs: dict[str, int] = {}
    for line in text.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
        if match:
            # "file:function [object]": keep the function's name.
            name = match.group(2).split(":", 1)[-1]
            costs.setdefault(name, int(match.group(1).replace(",", "")))
    return costs


def cost_of(costs: dict[str, int], pattern: str) -> int:
    """Inclusive cost of the function whose name starts with `pattern` (its popcount
    clones summed for the verification kernel)."""
    found: dict[str, int] = {}
    for name, value in costs.items():
        if re.match(pattern, name):
            found[name] = value
    if "verify" in pattern:  # the popcount clones and their resolver are separate functions
        return sum(found.values())
    return max(found.values(), default=0)


def main() -> None:
    lines = [
        "# Where find_pairs_self spends its time",
        "",
        "Made by `python bench/profile.py`: callgrind on one worker thread "
        "(RAYON_NUM_THREADS=1), collecting only inside the `find_pairs_self` call, "
        "on the bench's own W1 and W3 data. Instructions executed (Ir), inclusive; "
        "cache misses and kernel page faults are not counted.",
        "",
    ]
    with tempfile.TemporaryDirectory(prefix="brimel-profile-") as tmp:
        target = Path(tmp) / "pkg"
        build(target)
        driver = Path(tmp) / "driver.py"
        driver.write_text(DRIVER.format(bench=str(HERE)))
        env = dict(os.environ, PYTHONPATH=str(target), RAYON_NUM_THREADS="1")
        for label, workload, n, k in SCENARIOS:
            out = Path(tmp) / f"callgrind.{workload}.{k}.out"
            subprocess.run(
                [
                    "valgrind",
                    "--tool=callgrind",
                    "--collect-atstart=no",
                    "--toggle-collect=brimel::binding::find_pairs_self(*",
                    f"--callgrind-out-file={out}",
                    sys.executable,
                    str(driver),
                    workload,
                    str(n),
                    str(k),
                ],
                check=True,
                env=env,
                capture_output=True,
            )
            costs = inclusive_costs(out)
            total = cost_of(costs, ENTRY)
            data = {"W1": workloads.simhash_like, "W3": workloads.pdq_like}[workload](n, workloads.SEED)
            case = workloads.Case(workload, "self", data.shape[1], k, n)
            count = candidates.self_candidates(case, data, "byte")
            verify = cost_of(costs, STAGES[1][1])
            lines += [
                f"## {label}",
                "",
                f"{count:,} candidates (byte chunk plan); verification costs "
                f"{verify / count:.0f} instructions per candidate.",
                "",
                "| stage | instructions | share |",
                "|---|---|---|",
            ]
            accounted = 0
            for stage, pattern in STAGES:
                value = cost_of(costs, pattern)
                accounted += value
                lines.append(f"| {stage} | {value:,} | {100 * value / total:.1f} % |")
            rest = total - accounted
            lines.append(
                f"| other (plan, checks, concatenation of records, repeats removal) | "
                f"{rest:,} | {100 * rest / total:.1f} % |"
            )
            lines.append(f"| **find_pairs_self, total** | {total:,} | 100 % |")
            lines.append("")
            print(f"{label}: total {total:,} Ir", file=sys.stderr)
    (HERE / "PROFILE.md").write_text("\n".join(lines))
    print(f"wrote {HERE / 'PROFILE.md'}", file=sys.stderr)


if __name__ == "__main__":
    main()
