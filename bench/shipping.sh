#!/usr/bin/env bash
# Shipping throughput of the deploy/ rsyslog pair on this machine: a shipper
# (deploy/rsyslog-ship.conf) and the central receiver
# (deploy/rsyslog-central.conf) on loopback; a finished log file of LINES
# collector-like lines (about 330 bytes each, as a hit with a browser's user
# agent, a referrer and a visitor cookie) appears by rename, as in the
# hosted service model, and the time until its copy in the store is whole
# is measured.
#
#   bench/shipping.sh [LINES] [RUNS]     (defaults: 200000 lines, 3 runs)
#
# Prints lines and megabytes per second for each run, and whether the copy
# is byte for byte the file.
set -euo pipefail
cd "$(dirname "$0")/.."

lines=${1:-200000}
runs=${2:-3}
scripts/deps.sh

work=$(mktemp -d /tmp/kyr_shipping.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=bench/freeport.sh
. bench/freeport.sh

# The file, written once: one header block, then numbered hit lines.
src=$work/source.log
{
  printf '#Software: bench\r\n#Version: 1.0\r\n#Date: 2026-12-07 06:00:00\r\n'
  printf '#Fields: date time c-ip cs-username cs-host cs-method cs-uri-stem cs-uri-query sc-status sc-bytes cs-version cs(User-Agent) cs(Cookie) cs(Referer) kyr-id \r\n'
  awk -v n="$lines" 'BEGIN {
    for (i = 1; i <= n; i++)
      printf "2026-12-07 06:00:%02d 203.0.113.%d - - GET /products/item-%d.html ZR.co_d=203.0.113.7-1765087200.%d::8C877372E0D72980AC8CD2C02805C1E4&ZR.co=Yes 200 - - Mozilla/5.0+(X11;+Linux+x86_64)+AppleWebKit/537.36+(KHTML,+like+Gecko)+Chrome/131.0+Safari/537.36 VANTORELL_ID=203.0.113.7-1765087200.%d::8C87 https://www.example.com/search?q=item+%d kyrsite0000000000000001\r\n", i % 60, i % 250, i, i, i, i
  }'
} >"$src"
bytes=$(stat -c %s "$src")
echo "== $lines lines, $bytes bytes"

for run in $(seq 1 "$runs"); do
  rm -rf "$work/run" && mkdir -p "$work/run/weblog" "$work/run/store" "$work/run/cw" "$work/run/sw"
  port=$(free_port)
  KYR_CENTRAL_PORT=$port KYR_CENTRAL_STORE=$work/run/store KYR_CENTRAL_WORK=$work/run/cw \
    rsyslogd -n -f deploy/rsyslog-central.conf -i NONE >"$work/run/central.out" 2>&1 &
  central=$!
  KYR_SHIP_FILES="$work/run/*/*.log" KYR_SHIP_WORK=$work/run/sw KYR_INSTANCE=bench \
    KYR_CENTRAL_HOST=127.0.0.1 KYR_CENTRAL_PORT=$port \
    rsyslogd -n -f deploy/rsyslog-ship.conf -i NONE >"$work/run/ship.out" 2>&1 &
  shipper=$!
  pids=("$central" "$shipper")
  sleep 1
  cp "$src" "$work/run/weblog/bench.kyrbusy"
  copy=$work/run/store/bench/weblog/bench.log
  start=$(date +%s.%N)
  mv "$work/run/weblog/bench.kyrbusy" "$work/run/weblog/bench.log"
  for _ in $(seq 1 6000); do
    [ -e "$copy" ] && [ "$(stat -c %s "$copy")" -ge "$bytes" ] && break
    sleep 0.05
  done
  end=$(date +%s.%N)
  same=no
  cmp -s "$src" "$copy" && same=yes
  if [ ! -e "$copy" ] || [ "$(stat -c %s "$copy")" -lt "$bytes" ]; then
    same="no: the copy was still incomplete after 300 s"
  fi
  kill "$shipper" "$central" 2>/dev/null || true
  wait "$shipper" "$central" 2>/dev/null || true
  pids=()
  awk -v s="$start" -v e="$end" -v n="$lines" -v b="$bytes" -v same="$same" -v r="$run" 'BEGIN {
    t = e - s
    printf "run %d: %.2f s, %.0f lines/s, %.1f MB/s, copy byte for byte: %s\n", r, t, n / t, b / t / 1e6, same
  }'
done
