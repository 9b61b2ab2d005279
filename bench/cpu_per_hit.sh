#!/usr/bin/env bash
# Server CPU time per answered tag hit: kyrhost beside nginx set up as a
# pixel collector (empty_gif, the userid module for the visitor cookie, a
# buffered access log of comparable columns), under the same load (wrk, one
# thread, keep-alive, a returning visitor's cookie). Throughput measures the
# machine as much as the server; CPU per hit is what a server costs.
#
#   bench/cpu_per_hit.sh [SECONDS] [CONNECTIONS]     (defaults: 10 s, 32)
#   RUNS=N  alternate the two servers N times and report each run (default 5)
#   THREADS=N  kyrhost worker threads / nginx workers (default 1)
#   WRK_THREADS=N  wrk threads (default 1)
#   KYR_SITES=N  kyrhost in the hosted service model, with a site map of N
#                sites; the tag URL is a listed site's (default: unset, the
#                shipped single-site model)
#   KYR_HITCOUNT=1  kyrhost also counts hits per site ("trackhitcount")
#   KYR_NEW_VISIT=1  in the hosted model, every hit is the first of a visit:
#                the browser sends no visitor-tracking cookies, so each
#                answer sets both (default: a returning visitor within its
#                visit sends them back and nothing is set, as nginx's
#                returning visitor with a valid cookie gets nothing)
#   BUILD_DIR=DIR  the Release build to run kyrhost from (default build-release)
#   PIN=0  leave the server and wrk wherever the scheduler puts them
#          (default: with two cores or more, the server on core 0 and wrk on
#          core 1, for both servers alike)
#   PERF_DIR=DIR  record a call-graph profile of each kyrhost run there
#                 (perf record -g; it costs the server CPU, so figures taken
#                 with it are not comparable)
#
# CPU time is utime + stime from /proc/<pid>/stat, read just before and just
# after the load: kyrhost's process (every thread: workers and the module's
# own), nginx's master and workers summed. Divided by the requests wrk
# counted as completed. The machine's other load does not enter the figure,
# but a shared core still slows caches; run it under the CPU lock:
#   flock /tmp/kyr-cpu.lock bench/cpu_per_hit.sh
#
# Prints, per run, each server's microseconds of CPU per hit and the ratio
# kyrhost/nginx, and that each log holds a line for every answered request;
# at the end the medians.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
connections=${2:-32}
runs=${RUNS:-5}
threads=${THREADS:-1}
wrk_threads=${WRK_THREADS:-1}
sites=${KYR_SITES:-}
hitcount=${KYR_HITCOUNT:-0}
build=${BUILD_DIR:-build-release}
perf_dir=${PERF_DIR:-}
server_pin=""
load_pin=""
if [ "${PIN:-1}" != 0 ] && [ "$(nproc)" -ge 2 ]; then
  server_pin="taskset -c 0"
  load_pin="taskset -c 1"
fi

# shellcheck source=bench/servers.sh
. bench/servers.sh
prepare_servers "$build" kyr_cpu_per_hit

ticks_per_second=$(getconf CLK_TCK)

# utime + stime, in clock ticks, of the given processes together. For a
# process the kernel sums every thread's, live and ended.
cpu_ticks() {
  local total=0 pid stat fields
  for pid in "$@"; do
    stat=$(cat "/proc/$pid/stat")
    # The command name (in parentheses) may hold blanks: fields count from
    # after it, utime and stime being the 14th and 15th of the line.
    read -r -a fields <<<"${stat##*) }"
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}

# ---- the hosted service model's site map ----

# A valid current-format KYR ID for site number $1 ("kyr", 22 characters,
# "_", the check code), and a site map of $2 standard-lag sites in $1 (the
# lines' MD5 as the checksum header), both as bench/bench_filter.cpp writes
# them.
site_tool() {
  python3 - "$@" <<'PY'
import hashlib, sys

def site_id(i):
    body = "kyr%022d" % i
    n = len(body)                       # 25: weights on the last 9, tail from 8
    s = sum(ord(c) for c in body)
    w = sum(ord(c) * (k - (n - 9) + 1) for k, c in enumerate(body) if k >= n - 9)
    t = sum(ord(c) for k, c in enumerate(body) if k >= 8)
    code = chr(ord('9') - t % 9) + chr(ord('z') - w % 25) + chr(ord('9') - s % 9) + chr(ord('z') - s % 25)
    return body + "_" + code

if sys.argv[1] == "id":
    print(site_id(int(sys.argv[2])))
else:
    path, sites = sys.argv[2], int(sys.argv[3])
    lines = ["%s,tag%d,0,null,1,0" % (site_id(i), i) for i in range(sites)]
    md5 = hashlib.md5("".join(lines).encode()).hexdigest().upper()
    with open(path, "w", newline="") as f:
        f.write("#Fields: kyrid,tagid,schedulepriority,realtimeid,cookiesenabled,timezone\r\n")
        f.write("#LineCount: %d\r\n#CheckSum: %s\r\n" % (sites, md5))
        f.writelines(line + "\r\n" for line in lines)
PY
}

tag_path=/kyr.gif
[ -n "$sites" ] && tag_path="/$(site_tool id $((sites / 2)))/kyr.gif"

# ---- kyrhost: the shipped configuration, a returning visitor's cookie ----
start_kyrhost() {
  rm -rf "$work/kyr"
  mkdir -p "$work/kyr/cfg" "$work/kyr/weblog" "$work/kyr/log"
  cp conf/kyr.cfg "$work/kyr/cfg/kyr.cfg"
  # For a key given twice the first value wins: settings go right under
  # their section's name.
  if [ -n "$sites" ]; then
    site_tool map "$work/kyr/cfg/vantorellsites.lst" "$sites"
    sed -i -e '/^\[logserver\]/a hostedmodel = true' \
      -e '/^\[servicemodel\]/a servicemodel = true\nsitemapenabled = true' "$work/kyr/cfg/kyr.cfg"
  fi
  [ "$hitcount" = 1 ] && sed -i '/^\[logserver\]/a trackhitcount = true' "$work/kyr/cfg/kyr.cfg"
  kyr_port=$(free_port)
  # shellcheck disable=SC2086
  $server_pin "$build/bin/kyrhost" --listen "127.0.0.1:$kyr_port" --root "$work/kyr" --www www \
    --threads "$threads" >"$work/kyrhost.out" 2>&1 &
  kyr_pid=$!
  # A large site map is read and copied to its backup before serving.
  for _ in $(seq 1200); do grep -q serving "$work/kyrhost.out" && return; sleep 0.05; done
  echo "kyrhost did not start within 60 s:"; cat "$work/kyrhost.out"; exit 1
}
stop_kyrhost() {
  kill -TERM "$kyr_pid"; wait "$kyr_pid" || true; kyr_pid=""
}

# ---- nginx as a pixel collector ----

query='kyruri=%2Fshop%2Fitem.html&kyrqry=id%3D7%26c%3Dred&kyrref=http%3A%2F%2Fexample.com%2F&kyrsip=www.example.com&kyrdat=1796551872345'
agent='Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36'

# Loads `url` with wrk while measuring the CPU time of the processes named
# after it: sets `requests` (wrk's completed count), `errors` (wrk's error
# lines) and `us_per_hit`.
measure() {
  local url=$1 cookie=$2
  shift 2
  local before after
  before=$(cpu_ticks "$@")
  # shellcheck disable=SC2086
  $load_pin wrk -t "$wrk_threads" -c "$connections" -d "${seconds}s" -H "Cookie: $cookie" \
    -H "User-Agent: $agent" -H "Referer: http://example.com/shop/item.html" "$url" >"$work/wrk.out"
  after=$(cpu_ticks "$@")
  requests=$(awk '/requests in/ {print $1}' "$work/wrk.out")
  errors=$(awk '/Non-2xx|Socket errors/ {print}' "$work/wrk.out")
  us_per_hit=$(awk -v t=$((after - before)) -v hz="$ticks_per_second" -v n="$requests" \
    'BEGIN {printf "%.2f", t / hz * 1e6 / n}')
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

run_kyrhost() {
  local run=$1 perf_pid=""
  start_kyrhost
  if [ -n "$perf_dir" ]; then
    mkdir -p "$perf_dir"
    perf record -g -q -o "$perf_dir/kyrhost.$run.data" -p "$kyr_pid" 2>/dev/null &
    perf_pid=$!
    sleep 0.5
  fi
  local cookie="VANTORELL_ID=10.1.2.3-3350200320.29830455"
  if [ -n "$sites" ] && [ "${KYR_NEW_VISIT:-0}" != 1 ]; then
    cookie="$cookie; ZR_VT_S=1; ZR_VT_D=1"
  fi
  measure "http://127.0.0.1:$kyr_port$tag_path?$query" "$cookie" "$kyr_pid"
  [ -n "$perf_pid" ] && { kill -INT "$perf_pid"; wait "$perf_pid" || true; }
  kyr_us=$us_per_hit; kyr_requests=$requests; kyr_errors=$errors
  stop_kyrhost
  # Every log file the model writes (single-site, standard-lag, short-lag,
  # real-time), header lines aside.
  kyr_lines=$(find "$work/kyr" -name '*.log' -exec cat {} + | grep -vc '^#' || true)
}

run_nginx() {
  start_nginx
  uid=$(curl -s -D - -o /dev/null "http://127.0.0.1:$nginx_port$tag_path" |
        sed -n 's/^Set-Cookie: VANTORELL_ID=\([^;]*\);.*/\1/p' | tr -d '\r')
  # The master as well as the workers: between them they do the work.
  measure "http://127.0.0.1:$nginx_port$tag_path?$query" "VANTORELL_ID=$uid" \
    "$nginx_pid" $(pgrep -P "$nginx_pid")
  nginx_us=$us_per_hit; nginx_requests=$requests; nginx_errors=$errors
  stop_nginx
  # less the two requests of curl above (the readiness probe, the cookie)
  nginx_lines=$(($(wc -l <"$work/nginx/logs/hits.log") - 2))
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'
}

model="the shipped configuration"
[ -n "$sites" ] && model="the hosted service model, $sites sites"
[ "$hitcount" = 1 ] && model="$model, hit counting"
if [ -n "$sites" ]; then
  if [ "${KYR_NEW_VISIT:-0}" = 1 ]; then
    model="$model, every hit the first of a visit"
  else
    model="$model, a returning visitor within its visit"
  fi
fi
echo "server CPU per hit: ${seconds}s per run, $connections connections, $threads server threads," \
  "$wrk_threads wrk threads, $(nproc) cores${server_pin:+ (server on core 0, wrk on core 1)};" \
  "kyrhost with $model"
mismatch=0
kyr_all=()
nginx_all=()
ratios=()
for run in $(seq "$runs"); do
  # Each goes first every other run, so that a drift of the machine's
  # state weighs on both alike.
  if [ $((run % 2)) -eq 1 ]; then
    run_kyrhost "$run"; run_nginx
  else
    run_nginx; run_kyrhost "$run"
  fi
  ratio=$(awk -v a="$kyr_us" -v b="$nginx_us" 'BEGIN {printf "%.3f", a / b}')
  kyr_all+=("$kyr_us"); nginx_all+=("$nginx_us"); ratios+=("$ratio")
  echo "run $run: kyrhost $kyr_us µs/hit ($kyr_requests hits), nginx $nginx_us µs/hit ($nginx_requests hits), ratio $ratio"
  [ -n "$kyr_errors" ] && echo "  kyrhost: $kyr_errors"
  [ -n "$nginx_errors" ] && echo "  nginx: $nginx_errors"
  check_lines kyrhost "$kyr_lines" "$kyr_requests"
  check_lines nginx "$nginx_lines" "$nginx_requests"
done
echo "median: kyrhost $(median "${kyr_all[@]}") µs/hit, nginx $(median "${nginx_all[@]}") µs/hit"
echo "median ratio kyrhost/nginx: $(median "${ratios[@]}") (target: at most 0.9)"
exit "$mismatch"
