# nginx set up as a pixel collector, for the benchmarks that measure kyrhost
# beside it: empty_gif, the userid module for the visitor cookie, and a
# buffered access log of the collector's columns. Sourced; the caller sets
# `work` (a scratch directory), `threads` (nginx workers) and `tag_path`
# (the tag's URL path), and has sourced bench/freeport.sh; `server_pin` (a
# command prefix such as "taskset -c 0", or empty) places nginx's processes.
# start_nginx sets
# `nginx_port` and `nginx_pid` and returns once nginx answers; the log is
# $work/nginx/logs/hits.log.

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
