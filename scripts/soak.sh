#!/usr/bin/env bash
# Soak test: kyrhost with the module under a mixed load for SECONDS (at
# least 10), the site map replaced every few seconds, the logs rotating every
# minute, hits counted, then SIGTERM; checks that every answered hit of a
# listed site was logged exactly once, that memory and descriptors stayed
# flat, that no busy file was left and that the audit file kept within its
# message limit.
#   scripts/soak.sh SECONDS [--clients N] [--rate REQUESTS_PER_SECOND] [--keep DIR]
#                           [--samples CSV]
# Builds kyrhost and the driver (kyr_soak) in build/ (KYR_SOAK_BUILD_DIR for
# another directory) and exits with the driver's status: 0 passed, 1 a check
# failed (named in the summary; the installation root is kept), 2 no run.
#   scripts/soak.sh 45      the short run scripts/test.sh makes
#   scripts/soak.sh 3600    an hour
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
  '') sed -n '2,14p' "$0" >&2; exit 2 ;;
esac
dir=${KYR_SOAK_BUILD_DIR:-build}
scripts/deps.sh
cmake -S . -B "$dir" -G Ninja >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyr_soak
exec "$dir/bin/kyr_soak" "$@"
