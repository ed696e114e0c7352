#!/usr/bin/env bash
# The local OAuth 2 server for tests (tools/servers/oauth2_server.js over npm's
# oauth2-mock-server), on 127.0.0.1 over HTTPS with the mail servers'
# private CA, signing its tokens with the key Dovecot validates. Start the
# mail servers first: they make the CA and the key.
#
#   tools/oauth2_server.sh start   install the npm packages under build/ if needed, start
#   tools/oauth2_server.sh stop    stop the server started here
#   tools/oauth2_server.sh env     print VESK_OAUTH2_URL and VESK_OAUTH2_CA_FILE
#
# Settings: VESK_OAUTH2_PORT (5601), VESK_MAILSERVERS_DIR as for the mail servers.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$repo_root/build/oauth2-server"
port="${VESK_OAUTH2_PORT:-5601}"
pid_file="$dir/server-$port.pid"
log="$dir/server-$port.log"

say() { printf 'oauth2_server: %s\n' "$*" >&2; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

settings() { "$repo_root/tools/mailservers.sh" env | grep -E '^VESK_(TLS_DIR|OAUTH2_SIGNING_KEY|OAUTH2_KEY_ID)='; }

start() {
  if [[ -s $pid_file ]] && kill -0 "$(cat "$pid_file")" 2>/dev/null && port_open "$port"; then return 0; fi
  # Another checkout's server on the port would answer with another CA.
  if port_open "$port"; then say "port $port is taken by another program (VESK_OAUTH2_PORT moves it)"; return 1; fi
  if ! command -v npm >/dev/null; then
    say "installing node and npm"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
  fi
  mkdir -p "$dir"
  if [[ ! -f $dir/node_modules/oauth2-mock-server/package.json ]]; then
    say "installing oauth2-mock-server from npm into $dir"
    [[ -f $dir/package.json ]] || printf '{"name":"vesk-oauth2-test-server","private":true}\n' >"$dir/package.json"
    (cd "$dir" && npm install --no-audit --no-fund --silent oauth2-mock-server@7.2.1 >/dev/null)
  fi
  eval "$(settings)"
  [[ -s $VESK_OAUTH2_SIGNING_KEY ]] || { say "no signing key: run tools/mailservers.sh start first"; return 1; }
  NODE_PATH="$dir/node_modules" setsid node "$repo_root/tools/servers/oauth2_server.js" "$port" \
    "$VESK_TLS_DIR/server.key" "$VESK_TLS_DIR/server.pem" "$VESK_OAUTH2_SIGNING_KEY" "$VESK_OAUTH2_KEY_ID" "$VESK_TLS_DIR/ca.pem" \
    >"$log" 2>&1 </dev/null &
  echo $! >"$pid_file"
  for _ in $(seq 50); do
    port_open "$port" && return 0
    sleep 0.2
  done
  say "the server did not start; its log:"
  cat "$log" >&2
  return 1
}

stop() {
  [[ -s $pid_file ]] || return 0
  kill "$(cat "$pid_file")" 2>/dev/null || true
  rm -f "$pid_file"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  env)
    eval "$(settings)"
    echo "VESK_OAUTH2_URL=https://localhost:$port"
    echo "VESK_OAUTH2_CA_FILE=$VESK_TLS_DIR/ca.pem"
    ;;
  *) say "usage: $0 start|stop|env"; exit 1 ;;
esac
