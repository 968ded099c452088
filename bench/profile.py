"""Where find_pairs_self spends its instructions on W1 and W3, measured with callgrind.

    python bench/profile.py          # writes bench/PROFILE.md

Builds a copy of the module with debug symbols (build/profile, installed into a
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
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

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
    ("sort of the verified records", r"brimel::pool::sort\("),
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
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
         "--target", str(target),
         "--config-settings=cmake.define.CMAKE_CXX_FLAGS=-g",
         "--config-settings=build-dir=build/profile", str(ROOT)],
        check=True, cwd=ROOT)


def inclusive_costs(out_file: Path) -> dict[str, int]:
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out_file)],
                          capture_output=True, text=True, check=True).stdout
    costs: dict[str, int] = {}
    for line in text.splitlines():
        match = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(.*)", line)
        if match:
            name = match.group(2)
            costs.setdefault(name, int(match.group(1).replace(",", "")))
    return costs


def cost_of(costs: dict[str, int], pattern: str) -> int:
    """Largest inclusive cost among functions matching `pattern` (clones summed)."""
    found: dict[str, int] = {}
    for name, value in costs.items():
        if re.search(pattern, name):
            found[name] = value
    return sum(found.values()) if len(found) > 1 and "verify" in pattern else max(found.values(), default=0)


def main() -> None:
    lines = ["# Where find_pairs_self spends its time", "",
             "Made by `python bench/profile.py`: callgrind on one worker thread "
             "(RAYON_NUM_THREADS=1), collecting only inside the `find_pairs_self` call, "
             "on the bench's own W1 and W3 data. Instructions executed (Ir), inclusive; "
             "cache misses and kernel page faults are not counted.", ""]
    with tempfile.TemporaryDirectory(prefix="brimel-profile-") as tmp:
        target = Path(tmp) / "pkg"
        build(target)
        driver = Path(tmp) / "driver.py"
        driver.write_text(DRIVER.format(bench=str(HERE)))
        env = dict(os.environ, PYTHONPATH=str(target), RAYON_NUM_THREADS="1")
        for label, workload, n, k in SCENARIOS:
            out = Path(tmp) / f"callgrind.{workload}.{k}.out"
            subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                            "--toggle-collect=brimel::binding::find_pairs_self(*",
                            f"--callgrind-out-file={out}", sys.executable, str(driver),
                            workload, str(n), str(k)],
                           check=True, env=env, capture_output=True)
            costs = inclusive_costs(out)
            total = cost_of(costs, ENTRY)
            lines += [f"## {label}", "", "| stage | instructions | share |", "|---|---|---|"]
            accounted = 0
            for stage, pattern in STAGES:
                value = cost_of(costs, pattern)
                accounted += value
                lines.append(f"| {stage} | {value:,} | {100 * value / total:.1f} % |")
            rest = total - accounted
            lines.append(f"| other (plan, checks, concatenation of records, repeats removal) | "
                         f"{rest:,} | {100 * rest / total:.1f} % |")
            lines.append(f"| **find_pairs_self, total** | {total:,} | 100 % |")
            lines.append("")
            print(f"{label}: total {total:,} Ir", file=sys.stderr)
    (HERE / "PROFILE.md").write_text("\n".join(lines))
    print(f"wrote {HERE / 'PROFILE.md'}", file=sys.stderr)


if __name__ == "__main__":
    main()
