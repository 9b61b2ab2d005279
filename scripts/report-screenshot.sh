#!/usr/bin/env bash
# Retakes docs/report.png, the README's picture of scripts/report.sh's report:
# kyrhost (release build, as scripts/run.sh starts it) on a scratch copy of
# the demo root's configuration, a few dozen tag hits from a dozen visitors
# (curl, each with its own cookie jar, following the cookie-test redirect),
# SIGTERM, scripts/report.sh, and headless Chromium's screenshot of the page.
# Needs curl, goaccess and chromium (scripts/deps.sh). Not run by the tests.
# KYR_BIN=build/bin takes kyrhost from an existing build instead.
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in curl goaccess chromium; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "report-screenshot.sh: $tool is not installed (scripts/deps.sh)" >&2
    exit 1
  }
done

bin=${KYR_BIN:-}
if [ -z "$bin" ]; then
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
    -DKYR_BUILD_BENCH=OFF >/dev/null
  cmake --build build-release -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyrfilter
  bin=build-release/bin
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kyr-report.XXXXXX")
host_pid=""
cleanup() {
  if [ -n "$host_pid" ]; then
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

root=$scratch/root
mkdir -p "$root/cfg" "$root/weblog" "$root/log"
if [ -f run/cfg/kyr.cfg ]; then
  cp run/cfg/kyr.cfg "$root/cfg/kyr.cfg"
else
  cp conf/kyr.cfg "$root/cfg/kyr.cfg"
fi

# 127.0.0.1 is named as a trusted proxy so that X-Forwarded-For gives each
# visitor an address of its own (documentation ranges).
"$bin/kyrhost" --listen 127.0.0.1:0 --threads 2 --root "$root" --www "$PWD/www" \
  --trusted-proxy 127.0.0.1 >"$scratch/kyrhost.out" 2>&1 &
host_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$scratch/kyrhost.out" | head -n1)
  [ -n "$port" ] && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || {
  cat "$scratch/kyrhost.out" >&2
  exit 1
}

agents=(
  "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36"
  "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/18.1 Safari/605.1.15"
  "Mozilla/5.0 (X11; Linux x86_64; rv:133.0) Gecko/20100101 Firefox/133.0"
  "Mozilla/5.0 (iPhone; CPU iPhone OS 18_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/18.1 Mobile/15E148 Safari/604.1"
  "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Mobile Safari/537.36"
  "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36 Edg/131.0.0.0"
)
pages=(/ /products.html /about.html /products.html /contact.html / /blog/launch.html)
referrers=(https://www.google.com/ https://duckduckgo.com/ https://news.example.org/ -)
encode() { printf '%s' "$1" | sed -e 's/%/%25/g' -e 's/:/%3A/g' -e 's/\//%2F/g' -e 's/?/%3F/g'; }

RANDOM=7 # the same picture every time
hits=0
for visitor in $(seq 12); do
  jar="$scratch/cookies.$visitor"
  agent=${agents[$((visitor % ${#agents[@]}))]}
  address="198.51.100.$((visitor * 7))"
  referrer=${referrers[$((RANDOM % ${#referrers[@]}))]}
  for _ in $(seq $((1 + RANDOM % 5))); do
    page=${pages[$((RANDOM % ${#pages[@]}))]}
    query="kyruri=$(encode "$page")&kyrsip=www.example.com"
    [ "$referrer" = "-" ] || query+="&kyrref=$(encode "$referrer")"
    curl -sf -o /dev/null -L -b "$jar" -c "$jar" -A "$agent" -H "X-Forwarded-For: $address" \
      "http://127.0.0.1:$port/kyr.gif?$query"
    hits=$((hits + 1))
    referrer="https://www.example.com$page"
  done
done
echo "$hits hits from 12 visitors"

kill -TERM "$host_pid"
wait "$host_pid"
host_pid=""

scripts/report.sh "$root"
mkdir -p docs
chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --disable-dev-shm-usage --hide-scrollbars \
  --user-data-dir="$scratch/chromium" --window-size=1280,900 --virtual-time-budget=15000 \
  --screenshot="$PWD/docs/report.png" "file://$root/report/index.html" >/dev/null 2>&1
echo "docs/report.png: $(stat -c %s docs/report.png) bytes"
