#!/usr/bin/env bash
# pip alone: installs the package from this checkout into a fresh virtual
# environment with `pip install .` and nothing from the system but the C++
# compiler and Python. Every build requirement comes from PyPI into pip's
# isolated build environment, oneTBB from the tbb-devel wheel, with the
# system's oneTBB hidden from CMake. Then it imports the package, runs a join
# in each module, and checks that the libtbb they loaded is the tbb wheel's in
# that environment, and that both loaded the one engine of the package.
set -euo pipefail
cd "$(dirname "$0")/.."
log() { printf '[pip-alone] %s\n' "$*" >&2; }

# Outside the checkout, so that neither .venv nor build/ is seen.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
python3 -m venv "$scratch/venv"
python=$scratch/venv/bin/python
"$python" -m pip install -q --upgrade pip

# The system's oneTBB CMake packages (Debian's libtbb-dev), out of CMake's
# sight, under /usr and under / (CMake also looks beside /bin on the PATH,
# and /lib is /usr/lib on merged-/usr systems).
hidden=
while read -r dir; do
  hidden+="${hidden:+;}$dir;${dir#/usr}"
done < <(find /usr/lib /usr/lib64 /usr/local/lib -maxdepth 3 -type d -path '*/cmake/TBB' 2>/dev/null)
log "building in a fresh environment; hidden from CMake: ${hidden:-nothing (no system oneTBB)}"
CMAKE_ARGS="-DCMAKE_IGNORE_PATH=${hidden}" "$python" -m pip install -v . \
  --config-settings=build-dir="$scratch/build" >"$scratch/install.log" 2>&1 || {
  tail -n 40 "$scratch/install.log" >&2
  exit 1
}
found=$(grep -m 1 -o "oneTBB [0-9.]* from .*" "$scratch/install.log") || {
  log "the build did not say which oneTBB it used"
  exit 1
}
log "built with $found"
if [[ $found == *" from /usr/"* ]]; then
  log "that is the system's oneTBB, not the tbb-devel wheel's"
  exit 1
fi

cd "$scratch"  # away from the checkout's python/ directory
"$python" - <<'EOF'
import os
import sys

import numpy as np

import brimel_native as bn

codes = np.zeros((3, 8), np.uint8)
codes[2, 0] = 1
assert bn.find_pairs_self(codes, 1) == [(0, 1, 0), (0, 2, 1), (1, 2, 1)]
assert len(bn.find_pairs(codes, 1).i) == 3  # the other module
with open("/proc/self/maps") as maps:
    paths = {line.split()[-1] for line in maps}
loaded = {path for path in paths if "/libtbb.so" in path}
prefix = os.path.realpath(sys.prefix)
assert loaded and all(os.path.realpath(path).startswith(prefix + "/lib/") for path in loaded), loaded
# Both modules load the one engine beside them.
engines = {path for path in paths if "/libbrimel_engine.so" in path}
assert engines == {os.path.join(os.path.dirname(bn.__file__), f"libbrimel_engine.so.{bn.__version__}")}, engines
print(f"[pip-alone] brimel_native {bn.__version__} imported; libtbb loaded from {', '.join(sorted(loaded))}")
EOF
