#!/usr/bin/env bash
# Builds the Debian package of the collector: a release build of kyrhost
# and the module (no tests, no benchmarks) in BUILDDIR (default
# build-package/), packed by CPack. Prints the path of the .deb.
#   scripts/package.sh [BUILDDIR]
# Needs dpkg-dev (dpkg-shlibdeps works out the package's dependencies);
# scripts/deps.sh installs it.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build-package}
case "$dir" in
  -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
esac
for tool in cmake dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "package.sh: $tool is missing (scripts/deps.sh installs it)" >&2
    exit 1
  fi
done

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
  -DKYR_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyrfilter
# Only this run's package is printed, not one an earlier run left.
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "package.sh: cpack made no package in $dir" >&2
  exit 1
fi
realpath "${debs[0]}"
