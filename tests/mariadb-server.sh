#!/usr/bin/env bash
# Starts or stops a throw-away MariaDB server for the tests, on a free
# loopback port, with its data, socket and pid file in a temporary folder.
#   tests/mariadb-server.sh start STATE_DIR   -> writes STATE_DIR/port
#   tests/mariadb-server.sh stop STATE_DIR
# The server has the database "kvtest" and the user "kvuser" with password
# "kv-secret", checked against the grant tables on TCP. Without the server
# binaries (package mariadb-server) start writes no port and succeeds, so the
# tests that need the server skip.
set -euo pipefail
cmd=$1
state=$2
server=/usr/sbin/mariadbd
# --no-defaults everywhere: the system's /etc/mysql settings (data folder,
# socket, bind address) belong to the machine's own server, if any.
client=(mariadb --no-defaults)

# mariadbd refuses to run as root unless told to; a normal user runs it as itself.
as_user=()
[ "$(id -u)" -eq 0 ] && as_user=(--user=root)

stop() {
  [ -f "$state/datadir" ] || return 0
  data=$(cat "$state/datadir")
  if [ -f "$data/server.pid" ]; then
    pid=$(cat "$data/server.pid")
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 300); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -rf "$data"
  rm -f "$state/datadir" "$state/port"
}

case $cmd in
  start)
    mkdir -p "$state"
    stop
    if [ ! -x "$server" ]; then
      echo "MariaDB server binaries not found ($server): tests that need them skip" >&2
      exit 0
    fi
    data=$(mktemp -d /tmp/korvadex-mariadb-XXXXXX)
    echo "$data" > "$state/datadir"
    # Run by the server as it starts, with the grant tables loaded (the
    # installer's own bootstrap runs without them and cannot create users).
    cat > "$data/setup.sql" <<'SQL'
CREATE DATABASE kvtest;
CREATE USER 'kvuser'@'%' IDENTIFIED BY 'kv-secret';
GRANT ALL PRIVILEGES ON *.* TO 'kvuser'@'%';
SQL
    if ! mariadb-install-db --no-defaults "${as_user[@]}" --datadir="$data/db" --skip-test-db \
        --auth-root-authentication-method=socket >"$data/install.log" 2>&1; then
      cat "$data/install.log" >&2
      stop
      exit 1
    fi
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    # Detached and with its output in the folder, so the caller (ctest) does
    # not wait for the server's end.
    setsid "$server" --no-defaults "${as_user[@]}" --datadir="$data/db" --socket="$data/server.sock" \
      --pid-file="$data/server.pid" --log-error="$data/server.log" --tmpdir="$data" \
      --init-file="$data/setup.sql" \
      --skip-networking=0 --bind-address=127.0.0.1 --port="$port" --skip-name-resolve \
      --character-set-server=utf8mb4 --collation-server=utf8mb4_bin \
      --innodb-flush-log-at-trx-commit=0 --innodb-buffer-pool-size=128M \
      </dev/null >/dev/null 2>&1 &
    ready=0
    for _ in $(seq 600); do
      if MYSQL_PWD=kv-secret "${client[@]}" --protocol=tcp -h 127.0.0.1 -P "$port" -u kvuser kvtest \
          -e 'SELECT 1' >/dev/null 2>&1; then
        ready=1
        break
      fi
      kill -0 $! 2>/dev/null || break
      sleep 0.1
    done
    if [ "$ready" -ne 1 ]; then
      echo "MariaDB did not come up on port $port:" >&2
      tail -n 30 "$data/server.log" >&2 || true
      stop
      exit 1
    fi
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
