#!/usr/bin/env bash
# Scale-out test, everything on 127.0.0.1 with free ports and a temporary
# directory: HAProxy (deploy/haproxy.cfg) in front of three kyrhost
# collectors (hosted service model, a site map, files finished every
# minute), an rsyslog shipper per collector (deploy/rsyslog-ship.conf) and
# one central rsyslog receiver (deploy/rsyslog-central.conf). A load of tag
# hits with cookies goes through HAProxy; during it the central receiver is
# killed (SIGKILL), collector kyr-2 is stopped gracefully (its last files
# reach its shipper while the receiver is down), the receiver and kyr-2 are
# started again, and shipper kyr-3 is restarted. At the end every hit a
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

stop_process() {  # NAME [SIGNAL]: signal it and wait for it to end (20 s, then SIGKILL)
  local name=$1 sig=${2:-TERM} pid=${pids[$1]:-}
  [ -n "$pid" ] || return 0
  kill -s "$sig" "$pid" 2>/dev/null || true
  for _ in $(seq 1 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    say "$name did not stop within 20 s: killed"
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
    # What the programs said, for a failure to be understood from CI's log.
    for out in "$dir"/*.out; do
      [ -s "$out" ] || continue
      echo "---- $(basename "$out") (last lines)"
      tail -n 15 "$out"
    done
    say "kept $dir"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

ports=$("$tool" ports 6) || exit 2
read -r port1 port2 port3 lb_port stats_port relp_port <<<"$ports"
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
    --www "$repo/www" --trusted-proxy 127.0.0.1 --drain 5 >>"$out" 2>&1 &
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

# The rsyslogs run in the foreground with no pid file (this script holds
# their pids; a file left by the SIGKILL could refuse the restart). Each is
# started as a simple command through env, so that the pid the script
# holds is rsyslogd's own.
central_env() {  # sets env_args to the receiver's settings
  env_args=("KYR_CENTRAL_PORT=$relp_port" "KYR_CENTRAL_STORE=$dir/store"
            "KYR_CENTRAL_WORK=$dir/central-work")
}
shipper_env() {  # N: sets env_args to shipper N's settings
  env_args=("KYR_SHIP_FILES=$dir/kyr-$1/*/*.log" "KYR_SHIP_WORK=$dir/ship-$1-work"
            "KYR_INSTANCE=kyr-$1" "KYR_CENTRAL_HOST=127.0.0.1" "KYR_CENTRAL_PORT=$relp_port")
}

listening() {  # PORT: true when something listens on 127.0.0.1:PORT (or any address)
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

start_central() {
  central_env
  env "${env_args[@]}" rsyslogd -f deploy/rsyslog-central.conf -n -i NONE >>"$dir/central.out" 2>&1 &
  pids[central]=$!
  for _ in $(seq 1 100); do
    listening "$relp_port" && return 0
    kill -0 "${pids[central]}" 2>/dev/null || break
    sleep 0.1
  done
  say "the receiver did not start listening on $relp_port"
  exit 2
}

start_shipper() {  # N
  shipper_env "$1"
  env "${env_args[@]}" rsyslogd -f deploy/rsyslog-ship.conf -n -i NONE >>"$dir/ship-$1.out" 2>&1 &
  pids[ship-$1]=$!
}

stats() {
  curl -fsS --max-time 5 "http://127.0.0.1:$stats_port/stats;csv"
}

mkdir -p "$dir/store" "$dir/central-work" "$dir/ship-1-work" "$dir/ship-2-work" "$dir/ship-3-work"
# A configuration rsyslog cannot use would only show as lines missing
# from the store much later.
central_env
central_ok=1
env "${env_args[@]}" rsyslogd -f deploy/rsyslog-central.conf -N1 >"$dir/central-check.out" 2>&1 ||
  central_ok=0
shipper_env 1
if [ "$central_ok" -eq 0 ] ||
  ! env "${env_args[@]}" rsyslogd -f deploy/rsyslog-ship.conf -N1 >"$dir/ship-check.out" 2>&1; then
  say "rsyslog refuses a configuration in deploy/:"
  cat "$dir/central-check.out" "$dir/ship-check.out" 2>/dev/null
  exit 2
fi
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
say "$(date +%T) stopping kyr-2 (SIGTERM: health 503 for 5 s, then it stops)"
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
if ! stats >"$dir/haproxy-stats.csv"; then
  say "cannot read HAProxy's statistics"
  exit 2
fi

# The collectors write out and finish every file when they stop.
for i in 1 2 3; do kill -TERM "${pids[kyr-$i]}" 2>/dev/null || true; done
for i in 1 2 3; do stop_process "kyr-$i"; done
stop_process haproxy

instances=()
for i in 1 2 3; do instances+=(--instance "kyr-$i=$dir/kyr-$i"); done
check() {  # [--quiet]
  "$tool" check --sent "$dir/sent.txt" --store "$dir/store" --balancer "$dir/haproxy-stats.csv" \
    --backend kyr "${instances[@]}" "$@"
}

# Shipping is done once the check passes: every finished file in the store
# whole, every answered hit there. Until then (2 minutes at most) the
# shippers and the receiver keep running.
settled=0
stopped=$(date +%s.%N)
for _ in $(seq 1 120); do
  if check --quiet >/dev/null 2>&1; then
    settled=1
    break
  fi
  sleep 1
done
if [ "$settled" -eq 1 ]; then
  say "the store had every file $(awk -v a="$stopped" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s after the collectors stopped"
else
  say "the store was still incomplete 120 s after the collectors stopped"
fi

for name in ship-1 ship-2 ship-3 central; do stop_process "$name"; done

set +e
check
result=$?
set -e

# Nothing may be left running or listening.
leftover=0
for name in "${!pids[@]}"; do
  say "still running: $name"
  leftover=1
done
for port in "$port1" "$port2" "$port3" "$lb_port" "$stats_port" "$relp_port"; do
  if listening "$port"; then
    say "port $port still listening"
    leftover=1
  fi
done
if [ "$leftover" -ne 0 ] && [ "$result" -eq 0 ]; then
  result=1
fi
exit "$result"
