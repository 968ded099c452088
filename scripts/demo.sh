#!/usr/bin/env bash
# Sets everything up, then runs the main example: SimHash near-duplicates in
# the Python standard library's own sources. Extra arguments go to the example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/stdlib_simhash.py "$@"
