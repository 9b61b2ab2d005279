#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the host need, when
# any is missing. Needs root (or sudo) only when something must be installed.
#   scripts/deps.sh          build, tests (end-to-end ones included) and kyrhost
#   scripts/deps.sh --bench  also what bench/host_vs_nginx.sh runs (nginx, wrk)
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build make pkg-config
  googletest libgtest-dev libgmock-dev
  libbenchmark-dev
  libboost-dev libssl-dev openssl
  clang clang-format libclang-rt-dev
  # end-to-end tests: a real HTTP client, a browser, a log analyser
  libcurl4-openssl-dev curl chromium goaccess
)
if [ "${1:-}" = "--bench" ]; then
  PACKAGES+=(nginx-light wrk)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO="sudo"
  else
    echo "error: not root and no sudo; install these packages: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
