#!/usr/bin/env bash
# Sets everything up, then runs every test: the engine tests (CTest, from a
# developer CMake build) and the Python tests (pytest, against the installed
# package). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
.venv/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIMEL_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build build/dev -j "$jobs"
.venv/bin/ctest --test-dir build/dev --output-on-failure -j "$jobs"

export BRIMEL_REFERENCE_LIB="$PWD/build/dev/tests/reference/libbrimel_reference.so"
(cd tests/python && ../../.venv/bin/python -m pytest -q "$@")

# The same wheel on every CPython 3.9+ here, and the suite on NumPy 1.x.
bash scripts/compat.sh
