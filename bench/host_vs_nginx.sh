#!/usr/bin/env bash
# Throughput of kyrhost serving returning visitors' tag hits, beside nginx set
# up as a pixel collector (empty_gif, the userid module for the visitor
# cookie, a buffered access log of comparable columns), in one run on this
# machine with the same load generator (wrk, keep-alive).
#
#   bench/host_vs_nginx.sh [SECONDS] [CONNECTIONS]     (defaults: 10 s, 64)
#   THREADS=N  server worker threads / nginx workers (default: cores)
#   WRK_THREADS=N  wrk threads (default 2)
#   RUNS=N  alternate the two servers N times and report each run (default 3)
#
# Prints requests per second for each, the ratio kyrhost/nginx, and for each
# that the log holds a line for every answered request.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
connections=${2:-64}
threads=${THREADS:-$(nproc)}
wrk_threads=${WRK_THREADS:-2}
runs=${RUNS:-3}

# shellcheck source=bench/servers.sh
. bench/servers.sh
prepare_servers build-release kyr_host_vs_nginx

# ---- kyrhost: the shipped configuration, a returning visitor's cookie ----
start_kyrhost() {
  rm -rf "$work/kyr"
  mkdir -p "$work/kyr/cfg" "$work/kyr/weblog" "$work/kyr/log"
  cp conf/kyr.cfg "$work/kyr/cfg/kyr.cfg"
  kyr_port=$(free_port)
  build-release/bin/kyrhost --listen "127.0.0.1:$kyr_port" --root "$work/kyr" --www www \
    --threads "$threads" >"$work/kyrhost.out" 2>&1 &
  kyr_pid=$!
  for _ in $(seq 100); do grep -q serving "$work/kyrhost.out" && return; sleep 0.05; done
  cat "$work/kyrhost.out"; exit 1
}
stop_kyrhost() {
  kill -TERM "$kyr_pid"; wait "$kyr_pid" || true; kyr_pid=""
}

# ---- nginx as a pixel collector ----
tag_path=/kyr.gif

query='kyruri=%2Fshop%2Fitem.html&kyrqry=id%3D7%26c%3Dred&kyrref=http%3A%2F%2Fexample.com%2F&kyrsip=www.example.com&kyrdat=1796551872345'
agent='Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36'

# wrk's "Requests/sec" and completed requests.
run_wrk() {
  local url=$1 cookie=$2
  wrk -t "$wrk_threads" -c "$connections" -d "${seconds}s" -H "Cookie: $cookie" \
    -H "User-Agent: $agent" -H "Referer: http://example.com/shop/item.html" "$url" >"$work/wrk.out"
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
  requests=$(awk '/requests in/ {print $1}' "$work/wrk.out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' "$work/wrk.out")
}

check_lines() {
  local name=$1 lines=$2 requests=$3
  local extra=$((lines - requests))
  # wrk stops counting at the deadline: requests it had sent by then are
  # still answered (and logged), at most one per connection.
  if [ "$extra" -ge 0 ] && [ "$extra" -le "$connections" ]; then
    echo "  $name: $lines lines logged for $requests requests counted by wrk (+$extra answered after wrk stopped counting): every answered hit logged"
  else
    echo "  $name: $lines lines logged for $requests requests: MISMATCH"
    mismatch=1
  fi
}

echo "kyrhost vs nginx: ${seconds}s per run, $connections connections, $threads server threads, $wrk_threads wrk threads, $(nproc) cores"
mismatch=0
ratios=()
for run in $(seq "$runs"); do
  start_kyrhost
  run_wrk "http://127.0.0.1:$kyr_port/kyr.gif?$query" "VANTORELL_ID=10.1.2.3-3350200320.29830455"
  kyr_rps=$rps; kyr_requests=$requests; kyr_errors=$errors
  stop_kyrhost
  kyr_lines=$(cat "$work"/kyr/weblog/*.log | grep -vc '^#' || true)

  start_nginx
  uid=$(curl -s -D - -o /dev/null "http://127.0.0.1:$nginx_port/kyr.gif" |
        sed -n 's/^Set-Cookie: VANTORELL_ID=\([^;]*\);.*/\1/p' | tr -d '\r')
  run_wrk "http://127.0.0.1:$nginx_port/kyr.gif?$query" "VANTORELL_ID=$uid"
  nginx_rps=$rps; nginx_requests=$requests; nginx_errors=$errors
  stop_nginx
  # less the two requests of curl above (the readiness probe, the cookie)
  nginx_lines=$(($(wc -l <"$work/nginx/logs/hits.log") - 2))

  ratio=$(awk -v a="$kyr_rps" -v b="$nginx_rps" 'BEGIN {printf "%.2f", a / b}')
  ratios+=("$ratio")
  echo "run $run: kyrhost $kyr_rps req/s, nginx $nginx_rps req/s, ratio $ratio"
  [ -n "$kyr_errors" ] && echo "  kyrhost: $kyr_errors"
  [ -n "$nginx_errors" ] && echo "  nginx: $nginx_errors"
  check_lines kyrhost "$kyr_lines" "$kyr_requests"
  check_lines nginx "$nginx_lines" "$nginx_requests"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}')
echo "median ratio kyrhost/nginx: $median (target: at least 0.8)"
exit "$mismatch"
