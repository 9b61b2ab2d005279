#!/usr/bin/env bash
# Scale-out test, everything on 127.0.0.1 with ephemeral ports and a
# temporary directory: HAProxy (deploy/haproxy.cfg) in front of three
# kyrhost collectors (hosted service model, a site map, files finished
# every minute), an rsyslog shipper per collector (deploy/rsyslog-ship.conf)
# and one central rsyslog receiver (deploy/rsyslog-central.conf). A load of
# tag hits with cookies goes through HAProxy; during it the central
# receiver is killed (SIGKILL), collector kyr-2 is stopped gracefully (its
# last files reach its shipper while the receiver is down), the receiver
# and kyr-2 are started again, and shipper kyr-3 is restarted. At the end every hit a
# client saw answered 200 must be in the central store (hits that arrive
# twice are counted and printed; a lost one fails), every finished log file
# must be there line for line, and each collector's share must match the
# balancer's count for it.
#   scripts/scaleout-test.sh [--hits N] [--seconds S] [--clients C] [--keep]
# Defaults: 30000 hits in 30 s from 16 clients. --keep keeps the directory
# (always kept, and named, when the test fails). Exits 0 passed, 1 failed,
# 2 no run. Builds kyrhost, the module and the driver (kyr_scaleout) in
# build/ (KYR_SCALEOUT_BUILD_DIR for another directory).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

hits=30000
seconds=30
clients=16
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --hits) hits=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    *) echo "scaleout-test.sh: unknown option: $1" >&2; exit 2 ;;
  esac
done
if [ "$seconds" -lt 20 ]; then
  echo "scaleout-test.sh: --seconds must be at least 20 (the failures take that long)" >&2
  exit 2
fi

build=${KYR_SCALEOUT_BUILD_DIR:-build}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target kyrhost kyrfilter kyr_scaleout
bin=$repo/$build/bin
tool=$bin/kyr_scaleout

dir=$(mktemp -d "${TMPDIR:-/tmp}/kyr-scaleout.XXXXXX")
declare -A pids=()  # name -> pid of every process this script started
result=2

say() { echo "scaleout: $*"; }

stop_process() {  # NAME [SIGNAL]: signal it and wait for it to end (10 s, then SIGKILL)
  local name=$1 sig=${2:-TERM} pid=${pids[$1]:-}
  [ -n "$pid" ] || return 0
  kill -s "$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    say "$name did not stop within 10 s: killed"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
  unset "pids[$name]"
}

cleanup() {
  local name
  for name in "${!pids[@]}"; do
    stop_process "$name" KILL
  done
  if [ "$result" -eq 0 ] && [ "$keep" -eq 0 ]; then
    rm -rf "$dir"
  else
    say "kept $dir"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

read -r port1 port2 port3 lb_port stats_port relp_port <<<"$("$tool" ports 6)"
collector_port=([1]=$port1 [2]=$port2 [3]=$port3)
"$tool" sites "$dir"

# The collectors share one cookie key, so that a visitor cookie one of
# them issued is valid at the others.
magic=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n' | tr 'a-f' 'A-F')
for i in 1 2 3; do
  root=$dir/kyr-$i
  mkdir -p "$root/cfg" "$root/log" "$root/weblog" "$root/shortlag" "$root/realtime"
  # In front of the shipped configuration: for a key given twice the first
  # value wins. Files are finished every minute (and when kyrhost stops).
  {
    printf '[logserver]\nhostedmodel = true\nheartbeatrate = 5\nbufferflushrate = 5\n'
    printf '[logrotation]\ngmtrotation = true\n'
    printf '[cookieserver]\ncookieversion = 2\nmagiccode = %s\n' "$magic"
    printf '[servicemodel]\nservicemodel = true\nsitemapenabled = true\n'
    printf 'rotationratestandardlag = 1\nrotationrateshortlag = 1\nrotationraterealtime = 1\n'
    cat conf/kyr.cfg
  } >"$root/cfg/kyr.cfg"
  cp "$dir/vantorellsites.lst" "$root/cfg/vantorellsites.lst"
done

start_collector() {  # N
  local i=$1 out=$dir/kyr-$1.out
  "$bin/kyrhost" --listen "127.0.0.1:${collector_port[$i]}" --root "$dir/kyr-$i" \
    --www "$repo/www" --trusted-proxy 127.0.0.1 --drain 3 >>"$out" 2>&1 &
  pids[kyr-$i]=$!
  for _ in $(seq 1 200); do
    if grep -q "kyrhost: serving" "$out" 2>/dev/null; then
      return 0
    fi
    kill -0 "${pids[kyr-$i]}" 2>/dev/null || break
    sleep 0.1
  done
  say "kyr-$i did not start:"
  cat "$out"
  exit 2
}

start_central() {
  KYR_CENTRAL_PORT=$relp_port KYR_CENTRAL_STORE=$dir/store KYR_CENTRAL_WORK=$dir/central-work \
    rsyslogd -n -f deploy/rsyslog-central.conf -i "$dir/central.pid" >>"$dir/central.out" 2>&1 &
  pids[central]=$!
}

start_shipper() {  # N
  KYR_SHIP_FILES="$dir/kyr-$1/*/*.log" KYR_SHIP_WORK=$dir/ship-$1-work KYR_INSTANCE=kyr-$1 \
    KYR_CENTRAL_HOST=127.0.0.1 KYR_CENTRAL_PORT=$relp_port \
    rsyslogd -n -f deploy/rsyslog-ship.conf -i "$dir/ship-$1.pid" >>"$dir/ship-$1.out" 2>&1 &
  pids[ship-$1]=$!
}

stats() {
  curl -fsS --max-time 5 "http://127.0.0.1:$stats_port/stats;csv"
}

mkdir -p "$dir/store" "$dir/central-work" "$dir/ship-1-work" "$dir/ship-2-work" "$dir/ship-3-work"
for i in 1 2 3; do start_collector "$i"; done
start_central
for i in 1 2 3; do start_shipper "$i"; done
KYR_LB_BIND=127.0.0.1:$lb_port KYR_LB_STATS=127.0.0.1:$stats_port \
  KYR_COLLECTOR_1=127.0.0.1:$port1 KYR_COLLECTOR_2=127.0.0.1:$port2 \
  KYR_COLLECTOR_3=127.0.0.1:$port3 haproxy -db -f deploy/haproxy.cfg >>"$dir/haproxy.out" 2>&1 &
pids[haproxy]=$!

# HAProxy sends requests once it has seen each collector healthy.
up=0
for _ in $(seq 1 100); do
  up=$(stats 2>/dev/null | awk -F, '$1 == "kyr" && $2 ~ /^kyr-/ && $18 == "UP"' | wc -l) || up=0
  [ "$up" -eq 3 ] && break
  sleep 0.2
done
if [ "$up" -ne 3 ]; then
  say "HAProxy did not see three healthy collectors:"
  cat "$dir/haproxy.out"
  stats || true
  exit 2
fi
say "3 collectors, HAProxy on 127.0.0.1:$lb_port, receiver on RELP port $relp_port, in $dir"

# The load, and the failures at fixed times into it.
"$tool" load "http://127.0.0.1:$lb_port" "$dir/sites.txt" "$hits" "$seconds" "$clients" \
  "$dir/sent.txt" >"$dir/load.out" 2>&1 &
pids[load]=$!
start=$(date +%s.%N)
at() {  # wait until S seconds into the load
  local left
  left=$(awk -v s="$1" -v t0="$start" -v now="$(date +%s.%N)" 'BEGIN { w = t0 + s - now; print (w > 0 ? w : 0) }')
  sleep "$left"
}
# kyr-2 finishes its files while the receiver is down: its shipper must
# keep them queued and send them once the receiver is back.
at 4
say "$(date +%T) killing the receiver (SIGKILL)"
stop_process central KILL
at 6
say "$(date +%T) stopping kyr-2 (SIGTERM: health 503 for 3 s, then it stops)"
stop_process kyr-2
at 14
say "$(date +%T) starting the receiver again"
start_central
at 16
say "$(date +%T) starting kyr-2 again"
start_collector 2
at 20
say "$(date +%T) restarting shipper kyr-3 (SIGTERM, start)"
stop_process ship-3
start_shipper 3

if ! wait "${pids[load]}"; then
  unset "pids[load]"
  say "the load did not run:"
  cat "$dir/load.out"
  exit 2
fi
unset "pids[load]"
cat "$dir/load.out"

# The balancer's counts, before the collectors stop (their health checks
# then fail, which the counts do not include anyway).
stats >"$dir/haproxy-stats.csv"

# The collectors write out and finish every file when they stop.
for i in 1 2 3; do kill -TERM "${pids[kyr-$i]}" 2>/dev/null || true; done
for i in 1 2 3; do stop_process "kyr-$i"; done
stop_process haproxy

# Shipping is done once every finished file has reached the store whole
# (at least its size: a resent line makes a copy longer) and the store has
# stopped growing.
settled=0
last=-1
steady=0
stopped=$(date +%s.%N)
for _ in $(seq 1 240); do
  short=0
  for i in 1 2 3; do
    for d in weblog shortlag realtime; do
      for f in "$dir/kyr-$i/$d"/*.log; do
        [ -e "$f" ] || continue
        copy=$dir/store/kyr-$i/$d/$(basename "$f")
        if [ ! -e "$copy" ] || [ "$(stat -c %s "$copy")" -lt "$(stat -c %s "$f")" ]; then
          short=$((short + 1))
        fi
      done
    done
  done
  total=$(du -sb "$dir/store" | cut -f1)
  # Whole for a second: a resent line may still be on its way.
  if [ "$short" -eq 0 ] && [ "$total" -eq "$last" ]; then
    steady=$((steady + 1))
    if [ "$steady" -ge 2 ]; then
      settled=1
      break
    fi
  else
    steady=0
  fi
  last=$total
  sleep 0.5
done
if [ "$settled" -eq 1 ]; then
  say "the store had every file $(awk -v a="$stopped" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s after the collectors stopped"
else
  say "the store did not settle within 120 s; checking what arrived"
fi

for name in ship-1 ship-2 ship-3 central; do stop_process "$name"; done

instances=()
for i in 1 2 3; do instances+=(--instance "kyr-$i=$dir/kyr-$i"); done
set +e
"$tool" check --sent "$dir/sent.txt" --store "$dir/store" --balancer "$dir/haproxy-stats.csv" \
  --backend kyr "${instances[@]}"
result=$?
set -e

# Nothing may be left running or listening.
leftover=0
for name in "${!pids[@]}"; do
  say "still running: $name"
  leftover=1
done
for port in "$port1" "$port2" "$port3" "$lb_port" "$stats_port" "$relp_port"; do
  hex=$(printf '%04X' "$port")
  if awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A"' /proc/net/tcp | grep -q .; then
    say "port $port still listening"
    leftover=1
  fi
done
if [ "$leftover" -ne 0 ] && [ "$result" -eq 0 ]; then
  result=1
fi
exit "$result"
