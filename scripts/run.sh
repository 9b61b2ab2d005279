#!/usr/bin/env bash
# Builds the collector and starts it on a demo root (build/demo).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

demo=build/demo
mkdir -p "$demo/cfg" "$demo/log"
if [ -f conf/kyr.cfg ] && [ ! -f "$demo/cfg/kyr.cfg" ]; then
  cp conf/kyr.cfg "$demo/cfg/kyr.cfg"
fi
[ -f "$demo/cfg/kyr.cfg" ] || : > "$demo/cfg/kyr.cfg"

if [ ! -x build/bin/kyrhost ]; then
  echo "The collector's code is built (build/), and a demo root is ready in $demo."
  echo "kyrhost, the HTTP server that hosts the filter module, is not part of this build yet,"
  echo "so there is nothing to start."
  exit 1
fi
export ZR_ROOT="$PWD/$demo"
exec build/bin/kyrhost "$@"
