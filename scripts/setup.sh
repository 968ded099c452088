#!/usr/bin/env bash
# Sets up everything brimel_native needs on Debian 12 or 13, idempotently:
# system packages (as root, only those missing), a virtual environment in
# .venv with the Python packages (oneTBB among them, from PyPI's tbb-devel),
# and the package itself built into it. Building the package alone needs only
# a C++ compiler and Python (`pip install .`); GoogleTest is for the engine
# tests.
#
#   bash scripts/setup.sh            # everything
#   BRIMEL_SKIP_INSTALL=1 ...        # system packages and venv only
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf '[setup] %s\n' "$*" >&2; }

# --- system packages ---------------------------------------------------------
packages=(g++ libgtest-dev python3-venv)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    log "missing system packages: ${missing[*]} (run as root, or install them with apt)"
    exit 1
  fi
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- Python environment --------------------------------------------------------
python=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  log "creating .venv with $($python --version)"
  "$python" -m venv .venv
fi
stamp=.venv/.requirements-stamp
if [[ ! -f $stamp || requirements-dev.txt -nt $stamp || examples/requirements.txt -nt $stamp ]]; then
  log "installing Python packages"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi

if [[ -z ${BRIMEL_SKIP_INSTALL:-} ]]; then
  log "building and installing brimel_native into .venv"
  .venv/bin/python -m pip install -q --no-build-isolation .
fi
