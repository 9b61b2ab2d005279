# Sourced by the bench scripts.
# A port nothing listens on (checked with bash's /dev/tcp).
free_port() {
  local port
  while :; do
    port=$(shuf -i 20000-60000 -n 1)
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
}
