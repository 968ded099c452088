#!/usr/bin/env bash
# Fuzzes the engine (libFuzzer, clang, ASan + UBSan; results compared with the
# brute-force reference inside the harness) for the given number of seconds
# (default 60). Installs clang and its sanitizer runtimes (as root) when
# missing. The corpus grows in build/fuzz/corpus/engine, which CTest replays
# (engine_fuzzer_replay); a finding is written to build/fuzz/findings and fails
# the run.
#
#   bash scripts/fuzz.sh          # 60 s
#   bash scripts/fuzz.sh 600      # 10 minutes
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
log() { printf '[fuzz] %s\n' "$*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install() {
  local missing=()
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    log "missing system packages: ${missing[*]} (run as root, or install them with apt)"
    exit 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
# Debian's default clang (14 on Debian 12, 19 on Debian 13) and the runtime
# package of the same version, which holds libFuzzer and the sanitizers.
apt_install clang
clang_major=$(clang -dumpversion | cut -d. -f1)
apt_install "libclang-rt-${clang_major}-dev"

bash scripts/setup.sh >/dev/null

build=build/fuzz
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DBRIMEL_SANITIZE=address,undefined -DBRIMEL_BUILD_FUZZERS=ON \
  -DBRIMEL_BUILD_MODULE=OFF -DBRIMEL_BUILD_TESTS=OFF -DPython_EXECUTABLE="$root/.venv/bin/python" \
  -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build "$build" -j "$(nproc)" --target engine_fuzzer

findings="$root/$build/findings"
mkdir -p "$findings" "$build/corpus/engine"
summary() {  # the execution count from libFuzzer's final statistics
  grep -h 'stat::number_of_executed_units' "$1" | awk '{print $2}'
}

log "engine harness, ${seconds}s"
status=0
RAYON_NUM_THREADS=2 "$build/fuzz/engine_fuzzer" -max_total_time="$seconds" -timeout=60 \
  -print_final_stats=1 -artifact_prefix="$findings/engine-" "$build/corpus/engine" \
  >"$build/engine.log" 2>&1 || status=$?
engine_runs=$(summary "$build/engine.log")
if ((status)); then tail -n 40 "$build/engine.log" >&2; log "engine harness failed"; exit "$status"; fi

log "executions: ${engine_runs} (no findings)"
