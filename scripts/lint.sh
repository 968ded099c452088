#!/usr/bin/env bash
# Format and lint checks, each a few seconds: clang-format (.clang-format) on the
# C++ sources, ruff format and ruff check (pyproject.toml) on the Python.
#
#   bash scripts/lint.sh          # check; fails on any difference
#   bash scripts/lint.sh --fix    # rewrite the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
fix=${1:-}
if ! command -v clang-format >/dev/null; then
  if [[ $(id -u) -ne 0 ]]; then echo "[lint] clang-format missing (apt install clang-format)" >&2; exit 1; fi
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang-format >/dev/null
fi
BRIMEL_SKIP_INSTALL=1 bash scripts/setup.sh

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp')
if [[ $fix == --fix ]]; then
  clang-format -i "${cxx[@]}"
  .venv/bin/ruff format -q .
  .venv/bin/ruff check -q --fix .
else
  clang-format --dry-run --Werror "${cxx[@]}"
  .venv/bin/ruff format -q --check .
  .venv/bin/ruff check -q .
fi
echo "[lint] ${#cxx[@]} C++ files and the Python files are formatted and clean"
