#!/usr/bin/env bash
# A replicated PostgreSQL cluster on 127.0.0.1 for tests: one etcd and N
# Patroni nodes, everything (data, configuration, logs, pid files) in one work
# folder that this script owns.
#
#   cluster.sh start DIR [--nodes N]   start etcd and N nodes (3), wait until a leader runs
#                                      and every other node streams synchronously; print and
#                                      write DIR/env (DIVU_HA_URL, DIVU_HA_STANDBY_URL,
#                                      DIVU_HA_NODES, DIVU_HA_PORT_<node>, DIVU_HA_REST_<node>)
#   cluster.sh stop DIR                stop what start started (by recorded pids), remove DIR
#   cluster.sh leader DIR              the leader's node name; exit 1 when there is none
#   cluster.sh kill-leader DIR         SIGKILL the leader's Patroni and postgres; print its name
#   cluster.sh rejoin DIR NODE         start NODE again, wait until it streams from the leader
#                                      as a synchronous standby (a failover candidate again)
#   cluster.sh wait-leader DIR [SECS]  wait until a leader accepts writes (60 s); print its name
#   cluster.sh status DIR              a short listing of the nodes
#
# Environment: DIVU_HA_BASE_PORT takes the ports from there upwards (2 + 2N of
# them) instead of choosing free ones; DIVU_HA_START_TIMEOUT (120 s) bounds
# start; DIVU_HA_PG_BIN (/usr/lib/postgresql/15/bin) names the server binaries.
#
# Why the settings are what they are:
#  - synchronous_mode + synchronous_mode_strict: a commit is acknowledged only
#    once a standby has flushed it, and Patroni promotes only a standby listed
#    in its /sync key, so an acknowledged commit survives the loss of the
#    leader. Without strict, a primary left alone drops synchronous replication
#    and acknowledges commits that only it holds; killed and restarted, it
#    loses them.
#  - synchronous_node_count N-1: every standby is synchronous, so any survivor
#    may be promoted and a commit is on all nodes. When one standby is gone,
#    Patroni shrinks synchronous_standby_names to the ones still streaming
#    within a loop, so one kill blocks nothing for long. Strict mode only holds
#    commits when no standby at all streams: after a failover, until the other
#    survivor follows the new leader (2 to 3 s measured, the leader then being
#    up 11 to 14 s after the kill); with --nodes 2 until the killed node has
#    rejoined. That is by design: with two copies, no acknowledged commit may
#    exist on one node only.
#  - ttl 10, loop_wait 1, retry_timeout 4: the leader key expires 10 s after a
#    leader dies, which bounds the failover; a 1 s loop notices it and the new
#    leader at once; Patroni wants loop_wait + 2 * retry_timeout < ttl, so that
#    a node that cannot reach etcd demotes itself before its key expires.
#  - maximum_lag_on_failover 1 MB: a synchronous standby lags by no acknowledged
#    commit anyway; this keeps one that fell behind (a catching-up rejoiner)
#    from being promoted.
#  - use_pg_rewind (needs wal_log_hints and full_page_writes, both on): a
#    killed leader may hold WAL the new leader never got; pg_rewind cuts it
#    back so it can follow as a standby. If rewind fails, the data folder is
#    removed and copied again from the leader (remove_data_directory_on_*).
#  - wal_retrieve_retry_interval 1s: after a failover a standby's first try
#    finds no replication slot on the new leader (Patroni makes it in its next
#    loop); the default 5 s until the next try was most of the write gap.
#  - basebackup with checkpoint fast: a new standby's copy otherwise waits for
#    a spread checkpoint, which made bootstrap take 110 s instead of about 20.
#  - fsync off: the tests kill processes, never the machine, so the page cache
#    keeps every write; it makes bootstrap and commits much faster.
#  - wal_keep_size 256 MB: a rejoining node finds the WAL it still needs.
set -euo pipefail

PG_BIN=${DIVU_HA_PG_BIN:-/usr/lib/postgresql/15/bin}
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
REGISTRY=/tmp/divu-ha-ports   # claimed ports, so that two clusters never pick the same one
SCOPE=divu-ha
MARKER=.divu-ha-cluster

die() { echo "cluster.sh: $*" >&2; exit 1; }

usage() {
  awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0" | sed -n '/^  cluster.sh/,/^$/p' >&2
  exit 2
}

# --- small helpers in Python: port claims, detached spawning, REST queries ---
read -r -d '' HELPER <<'EOF' || true
import errno, fcntl, json, os, pwd, random, socket, sys, urllib.request

def bind_free(port):
    for family, addr in ((socket.AF_INET, '127.0.0.1'), (socket.AF_INET, '0.0.0.0')):
        s = socket.socket(family, socket.SOCK_STREAM)
        # As the servers bind: a port that only lingers in TIME_WAIT is free.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((addr, port))
        except OSError:
            return False
        finally:
            s.close()
    return True

def claim(registry, folder, count, base):
    # Under a lock: drop claims whose cluster folder is gone, then claim ports
    # that are neither claimed nor bound. The claim outlives the bind test, so a
    # cluster starting at the same moment cannot take the same port.
    # Shared by every user: world-writable and sticky, like /tmp.
    if not os.path.isdir(registry):
        os.makedirs(registry, exist_ok=True)
        os.chmod(registry, 0o1777)
    lock_path = os.path.join(registry, '.lock')
    lock = os.open(lock_path, os.O_RDONLY | os.O_CREAT, 0o644)
    with os.fdopen(lock) as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for name in os.listdir(registry):
            path = os.path.join(registry, name)
            if name.isdigit() and os.path.islink(path) and not os.path.isdir(os.readlink(path)):
                try:
                    os.unlink(path)
                except PermissionError:
                    pass  # another user's stale claim: the port stays out of use
        taken = set(int(n) for n in os.listdir(registry) if n.isdigit())
        if base:
            candidates = list(range(base, base + count))
            bad = [p for p in candidates if p in taken or not bind_free(p)]
            if bad:
                sys.exit('ports in use from DIVU_HA_BASE_PORT=%d: %s' % (base, ' '.join(map(str, bad))))
            chosen = candidates
        else:
            # Below the kernel's ephemeral range, so no outgoing connection holds one.
            pool = list(range(21000, 31000))
            random.shuffle(pool)
            chosen = []
            for p in pool:
                if p not in taken and bind_free(p):
                    chosen.append(p)
                    if len(chosen) == count:
                        break
            if len(chosen) < count:
                sys.exit('no %d free ports between 21000 and 31000' % count)
        for p in chosen:
            os.symlink(folder, os.path.join(registry, str(p)))
        print(' '.join(map(str, chosen)))

def release(registry, folder):
    if not os.path.isdir(registry):
        return
    for name in os.listdir(registry):
        path = os.path.join(registry, name)
        if name.isdigit() and os.path.islink(path) and os.readlink(path) == folder:
            os.unlink(path)

def spawn(pidfile, log, user, cwd, argv):
    # Detached (own session, no terminal, none of the caller's descriptors), so
    # that neither the caller's pipes nor its process group hold it; the pid
    # written is that of the program itself, with its start time against reuse.
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            out = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
            os.dup2(os.open('/dev/null', os.O_RDONLY), 0)
            os.dup2(out, 1)
            os.dup2(out, 2)
            os.closerange(3, 65536)
            env = {'PATH': '/usr/bin:/bin', 'LC_ALL': 'C.UTF-8', 'HOME': cwd}
            if user:
                pw = pwd.getpwnam(user)
                os.initgroups(user, pw.pw_gid)
                os.setgid(pw.pw_gid)
                os.setuid(pw.pw_uid)
                env.update(USER=user, LOGNAME=user)
            os.chdir(cwd)
            os.execve(argv[0], argv, env)
        except BaseException as e:
            os.write(2, ('cannot start %s: %s\n' % (argv[0], e)).encode())
            os._exit(127)
    with open(pidfile + '.tmp', 'w') as f:
        f.write('%d %s\n' % (pid, start_time(pid)))
    os.rename(pidfile + '.tmp', pidfile)

def start_time(pid):
    with open('/proc/%d/stat' % pid) as f:
        return f.read().rsplit(')', 1)[1].split()[19]

def get(port, path):
    try:
        with urllib.request.urlopen('http://127.0.0.1:%s%s' % (port, path), timeout=1) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()
    except Exception:
        return None, b''

def cluster(ports):
    # The cluster as the first answering node sees it in etcd.
    for port in ports:
        status, body = get(port, '/cluster')
        if status == 200:
            return json.loads(body)
    return None

cmd, args = sys.argv[1], sys.argv[2:]
if cmd == 'claim':
    claim(args[0], args[1], int(args[2]), int(args[3] or 0))
elif cmd == 'release':
    release(args[0], args[1])
elif cmd == 'spawn':
    spawn(args[0], args[1], args[2], args[3], args[4:])
elif cmd == 'starttime':
    try:
        print(start_time(int(args[0])))
    except (OSError, ValueError, IndexError):
        sys.exit(1)
elif cmd == 'sync':
    # The standbys Patroni lists as synchronous in etcd: only those may be promoted.
    c = cluster(args)
    for m in sorted((c or {}).get('members', []), key=lambda m: m['name']):
        if m.get('role') == 'sync_standby' and m.get('state') in ('running', 'streaming'):
            print(m['name'])
elif cmd == 'status':
    c = cluster(args)
    if c is None:
        sys.exit('no Patroni REST API answers')
    print('%-8s %-7s %-12s %-10s %-4s %s' % ('node', 'port', 'role', 'state', 'tl', 'lag'))
    for m in sorted(c.get('members', []), key=lambda m: m['name']):
        print('%-8s %-7s %-12s %-10s %-4s %s' % (m['name'], m.get('port', ''), m.get('role', ''), m.get('state', ''),
                                             m.get('timeline', ''), m.get('lag', '')))
EOF

helper() { "$PY" -c "$HELPER" "$@"; }

# --- the work folder -------------------------------------------------------

check_tools() {
  local missing=()
  command -v patroni >/dev/null || missing+=(patroni)
  command -v etcd >/dev/null || missing+=(etcd-server)
  command -v curl >/dev/null || missing+=(curl)
  command -v setpriv >/dev/null || missing+=(util-linux)
  [ -x "$PG_BIN/postgres" ] && [ -x "$PG_BIN/pg_rewind" ] && [ -x "$PG_BIN/psql" ] || missing+=(postgresql-15)
  if ((${#missing[@]})); then
    die "missing: ${missing[*]} (Debian packages; PostgreSQL binaries expected in $PG_BIN)"
  fi
}

# The user the servers run as: the caller, or when that is root (postgres refuses
# to run as root) the postgres user, else divu-pg, as dev.sh does.
run_user() {
  if [ "$(id -u)" -ne 0 ]; then
    echo ""
  elif id -u postgres >/dev/null 2>&1; then
    echo postgres
  else
    id -u divu-pg >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin divu-pg
    echo divu-pg
  fi
}

# Runs a command as the server user.
as_user() {
  local user
  user=$(cat "$dir/user")
  if [ -n "$user" ]; then
    setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"
  else
    "$@"
  fi
}

open_dir() {
  [ -n "${1:-}" ] || usage
  dir=$(cd "$1" 2>/dev/null && pwd) || die "$1: no such cluster folder"
  [ -f "$dir/$MARKER" ] || die "$dir: not a cluster folder made by cluster.sh start"
  # shellcheck disable=SC1091
  [ -f "$dir/ports" ] && . "$dir/ports"
  nodes=()
  [ -f "$dir/nodes" ] && read -r -a nodes <"$dir/nodes"
  return 0
}

pg_port() { local v="pg_$1"; echo "${!v}"; }
rest_port() { local v="rest_$1"; echo "${!v}"; }

# --- processes ---------------------------------------------------------------

# The pid in a pid file, if that process still runs and is the one started
# (same start time); empty otherwise.
live_pid() {
  local file=$1 pid start now
  [ -f "$file" ] || return 0
  read -r pid start <"$file" || return 0
  now=$(helper starttime "$pid" 2>/dev/null) || return 0
  [ "$now" = "$start" ] && echo "$pid"
  return 0
}

# The postmaster of a node, if it runs on that node's data folder.
postmaster_pid() {
  local data="$dir/$1/data" pid
  [ -f "$data/postmaster.pid" ] || return 0
  pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null) || return 0
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF -- "-D $data " && echo "$pid"
  return 0
}

children() { ps -o pid= --ppid "$1" 2>/dev/null | tr -d ' ' || true; }

# A node's Patroni, its postmaster and the postmaster's children.
node_pids() {
  local pid pm
  pid=$(live_pid "$dir/$1/patroni.pid")
  pm=$(postmaster_pid "$1")
  echo $pid $pm
  [ -n "$pm" ] && children "$pm"
  return 0
}

start_node() {
  local node=$1
  helper spawn "$dir/$node/patroni.pid" "$dir/$node/patroni.log" "$(cat "$dir/user")" "$dir/$node" \
    "$(command -v patroni)" "$dir/$node/patroni.yml"
}

# --- REST and SQL queries ----------------------------------------------------

# The node whose Patroni says it is the leader: GET /leader is 200 there, or,
# in the moment between promotion and Patroni's next loop when /leader is
# still 503, its /patroni role is one of a primary's.
find_leader() {
  local node
  for node in "${nodes[@]}"; do
    if [ "$(curl -s -o /dev/null -m 3 -w '%{http_code}' "http://127.0.0.1:$(rest_port "$node")/leader")" = 200 ] ||
      curl -s -m 3 "http://127.0.0.1:$(rest_port "$node")/patroni" | grep -qE '"role": *"(master|primary|promoted)"'; then
      echo "$node"
      return 0
    fi
  done
  return 1
}

psql_at() {  # node sql
  PGCONNECT_TIMEOUT=2 "$PG_BIN/psql" -X -q -A -t -v ON_ERROR_STOP=1 \
    -h 127.0.0.1 -p "$(pg_port "$1")" -U divu -d postgres -c "$2" 2>/dev/null
}

# Yes when the node is a primary whose commits complete: as many synchronous
# standbys stream as synchronous_standby_names asks for (Patroni writes either
# one name, 'N (a,b,...)' or '*').
writable() {
  [ "$(psql_at "$1" "
    SELECT NOT pg_is_in_recovery() AND (current_setting('synchronous_standby_names') = ''
      OR (SELECT count(*) FROM pg_stat_replication WHERE state = 'streaming' AND sync_state IN ('sync', 'quorum'))
         >= coalesce((regexp_match(current_setting('synchronous_standby_names'), '^\s*(?:FIRST\s+)?(\d+)\s*\('))[1]::int, 1))
  ")" = t ]
}

# The standbys streaming from a node, synchronous or candidates.
streaming_standbys() {
  psql_at "$1" "SELECT application_name FROM pg_stat_replication
                WHERE state = 'streaming' AND sync_state IN ('sync', 'potential', 'quorum') ORDER BY 1" || true
}

log_tails() {
  local f
  for f in "$@"; do
    [ -f "$f" ] || continue
    echo "---- last lines of $f" >&2
    tail -n 25 "$f" >&2
  done
}

# The nodes Patroni has recorded as synchronous standbys (its /sync key).
sync_standbys() {
  local node ports=()
  for node in "${nodes[@]}"; do ports+=("$(rest_port "$node")"); done
  helper sync "${ports[@]}" || true
}

# --- subcommands -------------------------------------------------------------

# Patroni's configuration for a node: write_config NODE PG_PORT REST_PORT NODE_COUNT.
start_exit() {
  local code=$1 logs=("$dir/etcd/etcd.log") node
  trap - EXIT
  ((code)) || return 0
  echo "cluster.sh: start failed" >&2
  for node in "${nodes[@]}"; do logs+=("$dir/$node/patroni.log" "$dir/$node/postgres.log"); done
  log_tails "${logs[@]}"
  (cmd_stop "$dir") || true
  exit "$code"
}

write_config() {
  local node=$1 pg=$2 rest=$3 count=$4 sockets="$dir/$1"
  # A unix socket path has room for about 100 bytes.
  [ ${#sockets} -le 80 ] || sockets=""
  cat >"$dir/$node/patroni.yml" <<EOF
scope: $SCOPE
namespace: /divu/
name: $node
log:
  level: INFO
restapi:
  listen: 127.0.0.1:$rest
  connect_address: 127.0.0.1:$rest
etcd3:
  hosts: 127.0.0.1:$etcd_client
bootstrap:
  dcs:
    ttl: 10
    loop_wait: 1
    retry_timeout: 4
    maximum_lag_on_failover: 1048576
    synchronous_mode: true
    synchronous_mode_strict: true
    synchronous_node_count: $((count > 1 ? count - 1 : 1))
    postgresql:
      use_pg_rewind: true
      use_slots: true
      parameters:
        fsync: 'off'
        wal_log_hints: 'on'
        full_page_writes: 'on'
        synchronous_commit: 'on'
        wal_keep_size: 256MB
        max_connections: 100
        max_wal_senders: 10
        max_replication_slots: 10
        hot_standby: 'on'
        wal_retrieve_retry_interval: 1s
  initdb:
    - encoding: UTF8
    - locale: C
  pg_hba:
    - local all all trust
    - host all all 127.0.0.1/32 trust
    - host replication all 127.0.0.1/32 trust
  post_bootstrap: $dir/post_bootstrap.sh
postgresql:
  listen: 127.0.0.1:$pg
  connect_address: 127.0.0.1:$pg
  data_dir: $dir/$node/data
  bin_dir: $PG_BIN
  pgpass: $dir/$node/pgpass
  use_pg_rewind: true
  basebackup:
    - checkpoint: fast
  remove_data_directory_on_rewind_failure: true
  remove_data_directory_on_diverged_timelines: true
  authentication:
    superuser:
      username: divu
    replication:
      username: divu
    rewind:
      username: divu
  pg_hba:
    - local all all trust
    - host all all 127.0.0.1/32 trust
    - host replication all 127.0.0.1/32 trust
  parameters:
    unix_socket_directories: '$sockets'
    logging_collector: 'on'
    log_directory: '$dir/$node'
    log_filename: 'postgres.log'
    log_file_mode: '0644'
    log_line_prefix: '%m [%p] '
tags:
  nofailover: false
  noloadbalance: false
  clonefrom: false
  nosync: false
EOF
}

cmd_start() {
  local count=3
  [ -n "${1:-}" ] || usage
  local target=$1
  shift
  while (($#)); do
    case "$1" in
      --nodes) count=${2:-}; shift 2 || usage ;;
      --nodes=*) count=${1#--nodes=}; shift ;;
      *) usage ;;
    esac
  done
  [[ "$count" =~ ^[0-9]+$ ]] && ((count >= 1 && count <= 9)) || die "--nodes wants 1 to 9"
  check_tools
  if [ -e "$target" ] && [ -n "$(ls -A "$target" 2>/dev/null)" ]; then
    die "$target exists and is not empty: start wants a fresh folder"
  fi
  mkdir -p "$target"
  dir=$(cd "$target" && pwd)
  : >"$dir/$MARKER"
  nodes=()
  # From here on a failure (set -e) tears the cluster down again and removes
  # DIR, after showing the logs. An EXIT trap, as it also fires for failures
  # in functions.
  trap 'start_exit $?' EXIT
  local user
  user=$(run_user)
  echo "$user" >"$dir/user"
  if [ -n "$user" ]; then
    chown "$user" "$dir"
    as_user test -w "$dir" ||
      die "$dir: user $user cannot write there (is a parent folder closed to it?); choose a folder under /tmp"
  fi

  local started=$EPOCHSECONDS timeout=${DIVU_HA_START_TIMEOUT:-120} ports
  ports=$(helper claim "$REGISTRY" "$dir" $((2 + 2 * count)) "${DIVU_HA_BASE_PORT:-}") || die "cannot choose ports"
  read -r etcd_client etcd_peer rest_of <<<"$ports"
  local -a port_list=($rest_of)
  {
    echo "etcd_client=$etcd_client"
    echo "etcd_peer=$etcd_peer"
    local i
    for ((i = 1; i <= count; i++)); do
      nodes+=("node$i")
      echo "pg_node$i=${port_list[$((2 * i - 2))]}"
      echo "rest_node$i=${port_list[$((2 * i - 1))]}"
    done
  } >"$dir/ports"
  echo "${nodes[*]}" >"$dir/nodes"
  # shellcheck disable=SC1091
  . "$dir/ports"

  cat >"$dir/post_bootstrap.sh" <<EOF
#!/bin/sh
# Patroni calls this once on the bootstrapping node with a connection string.
exec "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 -d "\$1" -c 'CREATE DATABASE divu'
EOF
  chmod 755 "$dir/post_bootstrap.sh"

  mkdir -p "$dir/etcd"
  [ -n "$user" ] && chown "$user" "$dir/etcd"
  # etcd: one member, v3 API; unsafe-no-fsync as for postgres, when this etcd knows it.
  local etcd_opts=()
  etcd --help 2>&1 | grep -q -- '--unsafe-no-fsync' && etcd_opts+=(--unsafe-no-fsync)
  helper spawn "$dir/etcd/etcd.pid" "$dir/etcd/etcd.log" "$user" "$dir/etcd" "$(command -v etcd)" \
    --name divu-etcd --data-dir "$dir/etcd/data" \
    --listen-client-urls "http://127.0.0.1:$etcd_client" --advertise-client-urls "http://127.0.0.1:$etcd_client" \
    --listen-peer-urls "http://127.0.0.1:$etcd_peer" --initial-advertise-peer-urls "http://127.0.0.1:$etcd_peer" \
    --initial-cluster "divu-etcd=http://127.0.0.1:$etcd_peer" --initial-cluster-state new \
    --initial-cluster-token "divu-$etcd_client" "${etcd_opts[@]}"
  local ok=""
  for _ in $(seq 1 100); do
    if curl -s -m 1 "http://127.0.0.1:$etcd_client/health" | grep -q '"health":"true"'; then ok=1; break; fi
    [ -n "$(live_pid "$dir/etcd/etcd.pid")" ] || break
    sleep 0.2
  done
  [ -n "$ok" ] || { echo "cluster.sh: etcd did not come up" >&2; exit 1; }

  local node
  for ((i = 1; i <= count; i++)); do
    node=node$i
    mkdir -p "$dir/$node"
    write_config "$node" "$(pg_port "$node")" "$(rest_port "$node")" "$count"
    [ -n "$user" ] && chown -R "$user" "$dir/$node"
    start_node "$node"
  done

  # Ready: a leader whose commits complete, every other node streaming from it
  # as a synchronous standby and recorded as such by Patroni (else it could
  # not be promoted), and the divu database there.
  local leader="" want have
  while :; do
    for node in "${nodes[@]}"; do
      [ -n "$(live_pid "$dir/$node/patroni.pid")" ] || { echo "cluster.sh: Patroni of $node exited" >&2; exit 1; }
    done
    if leader=$(find_leader) && writable "$leader"; then
      want=$(printf '%s\n' "${nodes[@]}" | grep -vx "$leader" | sort | tr '\n' ' ')
      have=$(streaming_standbys "$leader" | tr '\n' ' ')
      if [ "$want" = "$have" ] && [ "$want" = "$(sync_standbys | tr '\n' ' ')" ] && psql_at "$leader" "SELECT 1 FROM pg_database WHERE datname = 'divu'" | grep -q 1; then
        break
      fi
    fi
    ((EPOCHSECONDS - started < timeout)) || { echo "cluster.sh: not ready after $timeout s" >&2; exit 1; }
    sleep 0.5
  done
  trap - EXIT

  local hosts=""
  for node in "${nodes[@]}"; do hosts+="${hosts:+,}127.0.0.1:$(pg_port "$node")"; done
  {
    echo "export DIVU_HA_URL='postgresql://divu@$hosts/divu?target_session_attrs=read-write'"
    echo "export DIVU_HA_STANDBY_URL='postgresql://divu@$hosts/divu?target_session_attrs=prefer-standby'"
    echo "export DIVU_HA_NODES='${nodes[*]}'"
    echo "export DIVU_HA_DIR='$dir'"
    for node in "${nodes[@]}"; do
      echo "export DIVU_HA_PORT_$node=$(pg_port "$node")"
      echo "export DIVU_HA_REST_$node=$(rest_port "$node")"
    done
  } >"$dir/env"
  cat "$dir/env"
  echo "cluster.sh: $count nodes ready in $((EPOCHSECONDS - started)) s, leader $leader" >&2
}

# Sends a signal to pids, waits up to $2 seconds for them to go; echoes those left.
signal_and_wait() {
  local sig=$1 grace=$2 pid left
  shift 2
  (($#)) || return 0
  kill "-$sig" "$@" 2>/dev/null || true
  local deadline=$((EPOCHSECONDS + grace))
  while :; do
    left=()
    for pid in "$@"; do kill -0 "$pid" 2>/dev/null && left+=("$pid"); done
    ((${#left[@]})) || return 0
    ((EPOCHSECONDS < deadline)) || break
    sleep 0.2
  done
  echo "${left[@]}"
}

cmd_stop() {
  [ -n "${1:-}" ] || usage
  [ -e "$1" ] || return 0   # already stopped
  open_dir "$1"
  local node pids=() left pm
  # Patroni stops its postgres on SIGTERM (fast shutdown).
  for node in "${nodes[@]}"; do
    pids+=($(live_pid "$dir/$node/patroni.pid"))
  done
  left=$(signal_and_wait TERM 20 "${pids[@]}")
  [ -z "$left" ] || echo "cluster.sh: Patroni $left still runs after 20 s, killing it" >&2
  # Whatever still runs: Patroni, postmasters (also those left by a killed
  # Patroni) and their children.
  pids=()
  for node in "${nodes[@]}"; do pids+=($(node_pids "$node")); done
  if ((${#pids[@]})); then
    left=$(signal_and_wait TERM 5 "${pids[@]}")
    pids=()
    for node in "${nodes[@]}"; do pids+=($(node_pids "$node")); done
    pids+=($left)
    # shellcheck disable=SC2046
    ((${#pids[@]})) && signal_and_wait KILL 5 $(printf '%s\n' "${pids[@]}" | sort -u) >/dev/null
  fi
  # etcd holds nothing worth a clean shutdown, which can take it 10 s and more
  # once Patroni has used it.
  pids=($(live_pid "$dir/etcd/etcd.pid"))
  if ((${#pids[@]})); then
    left=$(signal_and_wait TERM 1 "${pids[@]}")
    [ -z "$left" ] || signal_and_wait KILL 5 $left >/dev/null
  fi
  helper release "$REGISTRY" "$dir"
  rm -rf "$dir"
}

cmd_leader() {
  open_dir "${1:-}"
  find_leader || { echo "cluster.sh: no leader" >&2; return 1; }
}

cmd_kill_leader() {
  open_dir "${1:-}"
  local leader pids
  leader=$(find_leader) || die "no leader to kill"
  pids=$(node_pids "$leader")
  [ -n "$pids" ] && kill -KILL $pids 2>/dev/null || true
  echo "$leader"
}

cmd_rejoin() {
  open_dir "${1:-}"
  local node=${2:-} timeout=${DIVU_HA_REJOIN_TIMEOUT:-90} started=$EPOCHSECONDS leader
  [ -n "$node" ] && [ -f "$dir/$node/patroni.yml" ] || die "no node '$node' in $dir (nodes: ${nodes[*]})"
  [ -z "$(live_pid "$dir/$node/patroni.pid")" ] || die "$node: Patroni runs already"
  # A postmaster the killed Patroni left (there should be none after kill-leader).
  local pm
  pm=$(postmaster_pid "$node")
  [ -z "$pm" ] || die "$node: a postmaster ($pm) still runs on its data folder"
  start_node "$node"
  while :; do
    if leader=$(find_leader) && [ "$leader" != "$node" ] &&
        streaming_standbys "$leader" | grep -qx "$node" && sync_standbys | grep -qx "$node"; then
      echo "cluster.sh: $node streams from $leader after $((EPOCHSECONDS - started)) s" >&2
      return 0
    fi
    if ((EPOCHSECONDS - started >= timeout)) || [ -z "$(live_pid "$dir/$node/patroni.pid")" ]; then
      echo "cluster.sh: $node did not rejoin as a streaming standby within $timeout s" >&2
      log_tails "$dir/$node/patroni.log" "$dir/$node/postgres.log"
      return 1
    fi
    sleep 0.5
  done
}

cmd_wait_leader() {
  open_dir "${1:-}"
  local timeout=${2:-60} started=$EPOCHSECONDS leader
  while :; do
    if leader=$(find_leader) && writable "$leader"; then
      echo "$leader"
      return 0
    fi
    ((EPOCHSECONDS - started < timeout)) || { echo "cluster.sh: no writable leader within $timeout s" >&2; return 1; }
    sleep 0.2
  done
}

cmd_status() {
  open_dir "${1:-}"
  local node ports=()
  for node in "${nodes[@]}"; do ports+=("$(rest_port "$node")"); done
  helper status "${ports[@]}"
}

case "${1:-}" in
  start) shift; cmd_start "$@" ;;
  stop) shift; cmd_stop "$@" ;;
  leader) shift; cmd_leader "$@" ;;
  kill-leader) shift; cmd_kill_leader "$@" ;;
  rejoin) shift; cmd_rejoin "$@" ;;
  wait-leader) shift; cmd_wait_leader "$@" ;;
  status) shift; cmd_status "$@" ;;
  *) usage ;;
esac
