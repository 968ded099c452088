#!/usr/bin/env bash
# One abi3 wheel, many interpreters: builds the wheel once, then
#  - runs the whole Python test suite on the oldest supported pairing,
#    CPython 3.9 with NumPy 1.21 (the module is built against NumPy 2 headers
#    with NPY_TARGET_VERSION set to 1.21);
#  - imports the same wheel and runs a smoke join on every other CPython 3.9+
#    found on this machine.
# Interpreters that are not installed are reported and skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ -x .venv/bin/python ]] || BRIMEL_SKIP_INSTALL=1 bash scripts/setup.sh

log() { printf '[compat] %s\n' "$*" >&2; }

wheelhouse=build/wheelhouse
rm -rf "$wheelhouse"
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps . -w "$wheelhouse"
wheel=$(ls "$wheelhouse"/brimel_native-*-cp39-abi3-*.whl)
log "built $(basename "$wheel")"

find_python() {  # find_python 3.9 -> path of an interpreter of that version, if any
  local v=$1 p
  for p in "python$v" "$HOME/.pyenv/versions/$v".*/bin/"python$v"; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c 'import sys' 2>/dev/null; then
      command -v "$p"
      return 0
    fi
  done
  return 1
}

make_env() {  # make_env NAME PYTHON NUMPY_SPEC -> path of the env's python
  local dir=build/compat/$1
  if [[ ! -x $dir/bin/python ]]; then
    "$2" -m venv "$dir"
    "$dir/bin/python" -m pip install -q --upgrade pip
  fi
  # The wheel's dependencies by hand (--no-deps below keeps the NumPy asked for).
  "$dir/bin/python" -m pip install -q "$3" "tbb>=2021.10" pytest hypothesis
  "$dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  echo "$dir/bin/python"
}

smoke='
import numpy as np, sys
from brimel_native import find_pairs_self, __version__
codes = np.array([[0, 0], [0, 1], [1, 1], [0, 0]], dtype=np.uint8)
assert find_pairs_self(codes, 1) == [(0, 1, 1), (0, 3, 0), (1, 2, 1), (1, 3, 1)]
print(sys.version.split()[0], "numpy", np.__version__, "brimel_native", __version__, "ok")
'

# The full suite on the oldest pairing; fall back to the default Python with
# the last NumPy 1.x when no CPython 3.9 is installed.
if py39=$(find_python 3.9); then
  python=$(make_env numpy1 "$py39" "numpy==1.21.6")
else
  log "no CPython 3.9 here: running the NumPy 1.x suite on $(python3 --version)"
  python=$(make_env numpy1 python3 "numpy<2")
fi
"$python" -c "$smoke"
export BRIMEL_REFERENCE_LIB=${BRIMEL_REFERENCE_LIB:-}
(cd tests/python && "../../$python" -m pytest -q -p no:cacheprovider)

for v in 3.10 3.11 3.12 3.13 3.14; do
  if p=$(find_python "$v"); then
    env_python=$(make_env "py$v" "$p" "numpy")
    "$env_python" -c "$smoke"
  else
    log "CPython $v not installed: skipped"
  fi
done
