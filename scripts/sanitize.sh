#!/usr/bin/env bash
# Builds the engine tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan (the normal install in .venv is left
# alone), then runs the engine tests and the whole pytest suite against that
# module. Fails on any sanitizer report, including one from a subprocess.
# Extra arguments go to pytest.
#
#   bash scripts/sanitize.sh                 # everything
#   bash scripts/sanitize.sh -k properties   # a part of the Python suite
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
BRIMEL_SKIP_INSTALL=1 bash scripts/setup.sh

build=build/asan
jobs=$(nproc)
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ -DBRIMEL_SANITIZE=address,undefined \
  -DBRIMEL_BUILD_MODULE=ON -DBRIMEL_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$root/.venv/bin/python" \
  -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build "$build" -j "$jobs"

# The sanitized package: the sources of python/brimel_native beside the
# sanitized module, first on the import path.
package="$build/python/brimel_native"
rm -rf "$package" && mkdir -p "$package"
for file in python/brimel_native/*; do ln -s "$root/$file" "$package/"; done
for module in _brimel_native _brimel_pairs; do
  ln -s "$root/$(find "$build/binding" -maxdepth 1 -name "$module*.so" | head -n 1)" "$package/"
done

reports="$root/$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
# Reports go to files as well as stderr, so that one printed by a subprocess
# whose failure a test expects still fails the run.
export ASAN_OPTIONS="abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

# The engine tests once each, and the fuzzer replay (with its large cases) under
# one pool size and the best kernel: the reruns under pools of 1, 2 and 8
# workers and under each scan kernel show that results depend on neither,
# which the normal build's CTest run does.
echo "[sanitize] engine tests (leak detection on)"
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=1" .venv/bin/ctest --test-dir "$build" --output-on-failure -j "$jobs" \
  -E '^index_with_|_[18]_workers$|_replay_(scalar|avx2|avx512)$'


echo "[sanitize] Python tests against $package"
status=0
(
  # The interpreter is not instrumented: the runtime is preloaded (with the C++
  # runtime, whose exception entry points it wraps and must find at start-up),
  # its leak check is off (the interpreter keeps memory until exit by design),
  # and Python allocates with malloc so that every object is checked.
  export LD_PRELOAD
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$root/$build/python${PYTHONPATH:+:$PYTHONPATH}"
  export BRIMEL_SANITIZED=1
  export BRIMEL_REFERENCE_LIB="$root/$build/tests/reference/libbrimel_reference.so"
  cd tests/python
  ../../.venv/bin/python -c 'import sys, brimel_native; assert "/build/asan/" in brimel_native._brimel_native.__file__, brimel_native._brimel_native.__file__'
  ../../.venv/bin/python -m pytest -q -p no:cacheprovider "$@"
) || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "[sanitize] sanitizer reports:" >&2
  for report in "$reports"/*; do echo "--- $report" >&2; cat "$report" >&2; done
  exit 1
fi
echo "[sanitize] sanitizer reports: 0"
exit "$status"
