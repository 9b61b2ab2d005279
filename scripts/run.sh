#!/usr/bin/env bash
# Builds the collector (release) and starts kyrhost on a demo root:
#   run/cfg/kyr.cfg   the configuration (copied from conf/ the first time)
#   run/weblog/       the hits' log files
#   run/log/          the audit file
# serving www/ on 127.0.0.1:8080 (PORT=9000 scripts/run.sh for another port).
# Extra arguments go to kyrhost. Ctrl-C stops it and writes out the logs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
  -DKYR_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyrfilter

demo=$PWD/run
mkdir -p "$demo/cfg" "$demo/weblog" "$demo/log"
if [ ! -f "$demo/cfg/kyr.cfg" ]; then
  cp conf/kyr.cfg "$demo/cfg/kyr.cfg"
fi

port=${PORT:-8080}
echo
echo "The demo page:   http://127.0.0.1:$port/"
echo "Hits go to:      $demo/weblog/ (written out every minute and when kyrhost stops)"
echo "Messages go to:  $demo/log/kyr.audit"
echo "Configuration:   $demo/cfg/kyr.cfg"
echo "Stop with Ctrl-C."
echo
exec build-release/bin/kyrhost --listen "127.0.0.1:$port" --root "$demo" --www "$PWD/www" "$@"
