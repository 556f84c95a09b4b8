#!/usr/bin/env bash
# Starts or stops a throw-away PostgreSQL server for the tests, on a free
# loopback port, with its data in a temporary folder.
#   tests/pg-server.sh start STATE_DIR   -> writes STATE_DIR/port
#   tests/pg-server.sh stop STATE_DIR
# The server has the database "kvtest" and the role "kvuser" with password
# "kv-secret", checked with scram-sha-256 on TCP.
set -euo pipefail
cmd=$1
state=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bin" ] || { echo "PostgreSQL server binaries not found" >&2; exit 1; }

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  [ -f "$state/datadir" ] || return 0
  data=$(cat "$state/datadir")
  as_server_user "$bin/pg_ctl" -D "$data/db" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$data"
  rm -f "$state/datadir" "$state/port"
}

case $cmd in
  start)
    mkdir -p "$state"
    stop
    # The server's own user must reach its folder, so it lives under /tmp.
    data=$(mktemp -d /tmp/korvadex-pg-XXXXXX)
    echo "$data" > "$state/datadir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$data"
    printf 'kv-admin\n' > "$data/pw" && chmod 644 "$data/pw"
    as_server_user "$bin/initdb" -D "$data/db" -U postgres --pwfile="$data/pw" -E UTF8 \
      --locale=C --auth-local=trust --auth-host=scram-sha-256 --no-sync >"$data/initdb.log" 2>&1
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    as_server_user "$bin/pg_ctl" -D "$data/db" -l "$data/server.log" -w -t 60 start \
      -o "-p $port -k $data -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off" >/dev/null
    as_server_user "$bin/psql" -q -h "$data" -p "$port" -U postgres -d postgres \
      -c "CREATE ROLE kvuser LOGIN CREATEROLE PASSWORD 'kv-secret'" -c "CREATE DATABASE kvtest OWNER kvuser" >/dev/null
    echo "$port" > "$state/port"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
