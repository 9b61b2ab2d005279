#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the host need, when
# any is missing. Needs root (or sudo) only when something must be installed.
#   scripts/deps.sh --run    only what building and running kyrhost needs
#   scripts/deps.sh          build, tests (end-to-end ones included) and kyrhost
#   scripts/deps.sh --bench  also what the bench/ scripts run (nginx, wrk, perf, python3)
#   scripts/deps.sh --windows  also the Windows cross build and Wine, which runs
#                              its tests (mingw-w64 with posix threads, wine64)
set -euo pipefail

RUN_PACKAGES=(g++ cmake ninja-build make pkg-config libboost-dev libssl-dev openssl)
TEST_PACKAGES=(
  googletest libgtest-dev libgmock-dev
  libbenchmark-dev
  clang clang-format libclang-rt-dev
  # end-to-end tests: a real HTTP client, a browser, a log analyser, the
  # web server and balancer the README's snippets are written for, the
  # Debian package's checks (dpkg-deb, systemd-analyze), the scale-out
  # test's log shipping (rsyslog with RELP)
  libcurl4-openssl-dev curl chromium goaccess nginx-light haproxy dpkg-dev systemd
  rsyslog rsyslog-relp
)
PACKAGES=("${RUN_PACKAGES[@]}")
run_only=0
for arg in "$@"; do
  case "$arg" in
    --run) run_only=1 ;;
    --bench) PACKAGES+=(nginx-light wrk linux-perf python3) ;;
    --windows)
      PACKAGES+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
                 wine wine64) ;;
    *) echo "deps.sh: unknown option: $arg" >&2; exit 2 ;;
  esac
done
[ "$run_only" -eq 1 ] || PACKAGES+=("${TEST_PACKAGES[@]}")

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
