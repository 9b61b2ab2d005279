# What the benchmarks that measure kyrhost beside nginx share. Sourced from
# the repository's root.
#
# prepare_servers BUILD_DIR NAME installs what they run, builds kyrhost and
# the module (Release) in BUILD_DIR, makes the scratch directory `work`
# (/tmp/NAME.XXXXXX) and, when the script ends, stops whichever server runs
# (`kyr_pid`, `nginx_pid`) and removes it.
#
# start_nginx / stop_nginx: nginx set up as a pixel collector (empty_gif, the
# userid module for the visitor cookie, a buffered access log of the
# collector's columns). The caller sets `threads` (nginx workers) and
# `tag_path` (the tag's URL path); `server_pin` (a command prefix such as
# "taskset -c 0", or empty) places its processes. start_nginx sets
# `nginx_port` and `nginx_pid` and returns once nginx answers; the log is
# $work/nginx/logs/hits.log.

# shellcheck source=bench/freeport.sh
. bench/freeport.sh

prepare_servers() {
  scripts/deps.sh --bench
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKYR_BUILD_TESTS=OFF \
    -DKYR_BUILD_BENCH=OFF >/dev/null
  cmake --build "$1" -j "$(nproc)" --target kyrhost kyrfilter >/dev/null
  work=$(mktemp -d "/tmp/$2.XXXXXX")
  kyr_pid=""
  nginx_pid=""
  trap cleanup_servers EXIT
}

cleanup_servers() {
  [ -n "$kyr_pid" ] && kill "$kyr_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}

start_nginx() {
  rm -rf "$work/nginx"
  mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
  nginx_port=$(free_port)
  cat >"$work/nginx/nginx.conf" <<CONF
worker_processes $threads;
user root;
error_log $work/nginx/logs/error.log warn;
pid $work/nginx/nginx.pid;
events { worker_connections 4096; }
http {
  client_body_temp_path $work/nginx/tmp;
  proxy_temp_path $work/nginx/tmp;
  fastcgi_temp_path $work/nginx/tmp;
  uwsgi_temp_path $work/nginx/tmp;
  scgi_temp_path $work/nginx/tmp;
  # The columns of the collector's log: time, client, user, host, method,
  # path, query, status, bytes, protocol, agent, cookie, referrer.
  log_format hits '\$time_iso8601 \$remote_addr \$remote_user \$host \$request_method \$uri '
                  '\$args \$status \$body_bytes_sent \$server_protocol "\$http_user_agent" '
                  '"\$uid_got\$uid_set" "\$http_referer"';
  access_log $work/nginx/logs/hits.log hits buffer=64k flush=60s;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$nginx_port reuseport;
    location = $tag_path {
      empty_gif;
      userid on;
      userid_name VANTORELL_ID;
      userid_path /;
      userid_expires max;
      add_header P3P 'CP="NOI DSP COR"';
    }
  }
}
CONF
  # shellcheck disable=SC2086
  ${server_pin:-} nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -g 'daemon off;' &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$nginx_port$tag_path" && return
    sleep 0.05
  done
  cat "$work/nginx/logs/error.log"; exit 1
}
stop_nginx() {
  kill -QUIT "$nginx_pid"; wait "$nginx_pid" || true; nginx_pid=""
}
