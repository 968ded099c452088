#!/usr/bin/env bash
# Lines of test code (tests/, fuzz/) per line of product code (core/, binding/,
# python/), over the files git tracks. The project keeps it at or below 0.33.
#
#   bash scripts/test_ratio.sh          # prints "tests 1234 / code 3978 = 0.31"
#   bash scripts/test_ratio.sh --check  # the same, exit 1 above 0.33
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -z "$@" | xargs -0 cat | wc -l; }
tests=$(count tests fuzz)
code=$(count core binding python)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", t / c }')
echo "tests $tests / code $code = $ratio"
if [[ ${1:-} == --check ]] && awk -v r="$ratio" 'BEGIN { exit !(r > 0.33) }'; then
  echo "test code above a third of the code" >&2
  exit 1
fi
