#!/usr/bin/env bash
# Sets up everything brimel_native needs on Debian 12 or 13, idempotently:
# system packages (as root, only those missing), a virtual environment in
# .venv with the Python packages, and the package itself built into it.
#
#   bash scripts/setup.sh            # everything
#   BRIMEL_SKIP_INSTALL=1 ...        # system packages and venv only
set -euo pipefail
cd "$(dirname "$0")/.."

log() { printf '[setup] %s\n' "$*" >&2; }

# --- system packages ---------------------------------------------------------
debian_major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || echo 0)
case "$debian_major" in
  12) boost=libboost1.81-dev ;;   # Debian 12's default Boost (1.74) lacks unordered_flat_map
  *)  boost=libboost-dev ;;       # Debian 13 ships Boost >= 1.83 as the default
esac
packages=(g++ libtbb-dev "$boost" libgtest-dev python3-venv)
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
