#!/usr/bin/env bash
# Builds the collector (release) and starts kyrhost on a demo root:
#   run/cfg/kyr.cfg   the configuration (copied from conf/ the first time)
#   run/weblog/       the hits' log files
#   run/log/          the audit file
# serving www/ on 127.0.0.1:8080 (PORT=9000 scripts/run.sh for another port).
# Extra arguments go to kyrhost. Ctrl-C stops it and writes out the logs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --run
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
  -DKYR_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyrfilter

demo=$PWD/run
mkdir -p "$demo/cfg" "$demo/weblog" "$demo/log"
if [ ! -f "$demo/cfg/kyr.cfg" ]; then
  # A new demo root gets a cookie key of its own and signed (version 2)
  # visitor cookies: with the key everybody can read in conf/kyr.cfg, any
  # visitor could make cookies that validate. 16 random bytes as 32
  # upper-case hexadecimal digits. It also writes its hits out every five
  # seconds instead of every minute, so that a demo hit shows at once. An
  # existing kyr.cfg is never touched.
  magic=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n' | tr 'a-f' 'A-F')
  if [ ${#magic} -ne 32 ]; then
    echo "run.sh: could not read a random cookie key from /dev/urandom" >&2
    exit 1
  fi
  new="$demo/cfg/kyr.cfg.new"
  (umask 077 && sed -e "s/^magiccode *=.*/magiccode = $magic/" \
    -e "s/^cookieversion *=.*/cookieversion = 2/" \
    -e "s/^heartbeatrate *=.*/heartbeatrate = 5/" \
    -e "s/^bufferflushrate *=.*/bufferflushrate = 5/" conf/kyr.cfg >"$new")
  for line in "magiccode = $magic" "cookieversion = 2" "heartbeatrate = 5" "bufferflushrate = 5"; do
    if ! grep -qx "$line" "$new"; then
      rm -f "$new"
      echo "run.sh: conf/kyr.cfg has no ${line%% *} line to set" >&2
      exit 1
    fi
  done
  mv "$new" "$demo/cfg/kyr.cfg"
fi

# How soon the hits are written out, as the demo's configuration says
# (an older demo root may keep the shipped minute).
flush=$(sed -n 's/^bufferflushrate *= *\([0-9][0-9]*\).*/\1/p' "$demo/cfg/kyr.cfg" | head -n 1)
beat=$(sed -n 's/^heartbeatrate *= *\([0-9][0-9]*\).*/\1/p' "$demo/cfg/kyr.cfg" | head -n 1)
flush=${flush:-60}
beat=${beat:-60}
# A line is written at the first heartbeat after it is bufferflushrate old.
flush=$((flush + beat))

port=${PORT:-8080}
echo
echo "The demo page:   http://127.0.0.1:$port/"
echo "Hits go to:      $demo/weblog/ (written out within ${flush} s and when kyrhost stops)"
echo "Messages go to:  $demo/log/kyr.audit"
echo "Configuration:   $demo/cfg/kyr.cfg (check it with: $PWD/build-release/bin/kyrhost --check --root $demo --www $PWD/www)"
echo "A report:        scripts/report.sh (after the first hits are written out)"
echo "Stop with Ctrl-C."
echo
exec build-release/bin/kyrhost --listen "127.0.0.1:$port" --root "$demo" --www "$PWD/www" "$@"
