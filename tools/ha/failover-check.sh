#!/usr/bin/env bash
# Kills the leader of a fresh cluster KILLS times while a writer inserts
# numbered rows through DIVU_HA_URL, and checks that every insert the server
# acknowledged is still there at the end, on every node. Prints the bootstrap
# time, the time from each kill to the next acknowledged write, the rejoin
# times; checks that stop leaves no process of the cluster behind.
#   tools/ha/failover-check.sh [NODES] [KILLS]      (3, 3)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
nodes=${1:-3} kills=${2:-3}
psql=${DIVU_HA_PG_BIN:-/usr/lib/postgresql/15/bin}/psql
dir=$(mktemp -u /tmp/divu-ha-check.XXXXXX)
trap '"$here/cluster.sh" stop "$dir"; kill "${writer:-}" 2>/dev/null || true' EXIT

elapsed() { awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $1 }"; }

t=$EPOCHREALTIME
"$here/cluster.sh" start "$dir" --nodes "$nodes" >/dev/null
echo "bootstrap ($nodes nodes): $(elapsed "$t") s"
# shellcheck disable=SC1091
. "$dir/env"
"$psql" -X -q "$DIVU_HA_URL" -c 'CREATE TABLE acked (n int PRIMARY KEY)'

# The writer: one connection per insert, as a client that reconnects would;
# a number goes to the file only once its commit was acknowledged.
: >"$dir/acked"
(
  n=0
  while [ ! -e "$dir/writer.stop" ]; do
    n=$((n + 1))
    if timeout 5 "$psql" -X -q "$DIVU_HA_URL&connect_timeout=2" -c "INSERT INTO acked VALUES ($n)" 2>/dev/null; then
      echo "$n" >>"$dir/acked"
    fi
    sleep 0.05
  done
) &
writer=$!

for ((k = 1; k <= kills; k++)); do
  sleep 2
  t=$EPOCHREALTIME
  victim=$("$here/cluster.sh" kill-leader "$dir")
  # The next acknowledged write after the kill (one in flight then may still
  # complete: count from the second).
  before=$(wc -l <"$dir/acked")
  until (($(wc -l <"$dir/acked") > before + 1)); do
    sleep 0.1
    if (($(echo "$EPOCHREALTIME - $t > 120" | bc))); then echo "no write for 120 s after kill $k" >&2; exit 1; fi
  done
  gap=$(elapsed "$t")
  leader=$("$here/cluster.sh" wait-leader "$dir" 30)
  t=$EPOCHREALTIME
  "$here/cluster.sh" rejoin "$dir" "$victim" 2>/dev/null
  echo "kill $k: $victim killed, writes again after $gap s on $leader; $victim rejoined in $(elapsed "$t") s"
done

sleep 1
: >"$dir/writer.stop"
wait "$writer" || true
writer=""
acked=$(wc -l <"$dir/acked")
# Every acknowledged number, on every node (a standby may still replay: let it).
sleep 2
sort "$dir/acked" >"$dir/acked.sorted"
for node in $DIVU_HA_NODES; do
  port_var=DIVU_HA_PORT_$node
  "$psql" -X -A -t -h 127.0.0.1 -p "${!port_var}" -U divu -d divu -c 'SELECT n FROM acked' | sort >"$dir/$node.rows"
  missing=$(comm -23 "$dir/acked.sorted" "$dir/$node.rows" | wc -l)
  [ "$missing" = 0 ] || { echo "$node: $missing of $acked acknowledged rows missing" >&2; exit 1; }
done
echo "all $acked acknowledged rows on every node"

t=$EPOCHREALTIME
"$here/cluster.sh" stop "$dir"
echo "stop: $(elapsed "$t") s"
left=$(ps -eo pid,args | grep -F "$dir" | grep -v grep || true)
[ -z "$left" ] || { echo "left behind:"; echo "$left"; exit 1; } >&2
echo "no process left"
