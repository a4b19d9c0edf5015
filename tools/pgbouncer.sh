#!/usr/bin/env bash
# A throwaway pgbouncer in transaction pooling mode in front of a PostgreSQL
# server, for the test suite and the benchmark.
#   tools/pgbouncer.sh start DIR UPSTREAM_HOST UPSTREAM_PORT_OR_SOCKETDIR [USERS] [POOL_SIZE]
#       writes DIR/pgbouncer.ini, starts pgbouncer on 127.0.0.1 at a free port,
#       prints the port and writes it to DIR/port (its pid to DIR/pgbouncer.pid).
#       USERS: the role names clients may log in as, comma-separated (default
#       divu), let in without a password (auth_type trust still needs the
#       names); POOL_SIZE: server connections per database and user (20).
#   tools/pgbouncer.sh stop DIR
#       stops the pgbouncer started in DIR, by its pid
# UPSTREAM_HOST is a host name or address with a TCP port, or a unix socket
# folder (a path) with the server's port (5432 when the third argument is
# that folder too). Run as root, pgbouncer runs as `postgres` (or `divu-pg`,
# made when missing), since it refuses to run as root.
set -euo pipefail

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

# A TCP port on 127.0.0.1 nobody listens on now.
free_port() {
  python3 - <<'PY' 2>/dev/null || shuf -i 20000-60000 -n 1
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
PY
}

start() {
  local dir=$1 host=$2 where=$3 users=${4:-divu} pool=${5:-20} port upstream_port=5432 as=() user
  # A socket folder given as the third argument: the host is that folder.
  if [[ $where == /* ]]; then host=$where; else upstream_port=$where; fi
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ "$(id -u)" -eq 0 ]; then
    local user=postgres
    id -u "$user" >/dev/null 2>&1 || user=divu-pg
    id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    chown "$user" "$dir"
    as=(runuser -u "$user" --)
  fi
  port=$(free_port)
  # Every database name goes to the upstream server under the same name.
  # max_client_conn: the suite runs tests in parallel, some with 64 threads
  # each holding connections of their own.
  cat >"$dir/pgbouncer.ini" <<INI
[databases]
* = host=$host port=$upstream_port

[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $port
unix_socket_dir =
auth_type = trust
auth_file = $dir/userlist.txt
pool_mode = transaction
max_client_conn = 2000
default_pool_size = $pool
max_db_connections = 0
server_reset_query =
server_check_delay = 0
ignore_startup_parameters = extra_float_digits
logfile = $dir/pgbouncer.log
pidfile = $dir/pgbouncer.pid
INI
  : >"$dir/userlist.txt"
  for user in ${users//,/ }; do printf '"%s" ""\n' "$user" >>"$dir/userlist.txt"; done
  [ -z "${as[*]}" ] || chown "${as[2]}" "$dir/pgbouncer.ini" "$dir/userlist.txt"
  "${as[@]}" pgbouncer -d "$dir/pgbouncer.ini"
  local i
  for i in $(seq 50); do
    [ -s "$dir/pgbouncer.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
  [ -s "$dir/pgbouncer.pid" ] || { cat "$dir/pgbouncer.log" >&2; echo "pgbouncer did not start" >&2; exit 1; }
  echo "$port" >"$dir/port"
  echo "$port"
}

stop() {
  local dir=$1 pid i
  [ -s "$dir/pgbouncer.pid" ] || return 0
  pid=$(cat "$dir/pgbouncer.pid")
  kill "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

case "${1:-}" in
  start) [ $# -ge 4 ] || usage; start "${@:2}" ;;
  stop) [ $# -eq 2 ] || usage; stop "$2" ;;
  *) usage ;;
esac
