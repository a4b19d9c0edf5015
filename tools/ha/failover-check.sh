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
      echo "$n $EPOCHREALTIME" >>"$dir/acked"
    fi
    sleep 0.05
  done
) &
writer=$!

for ((k = 1; k <= kills; k++)); do
  sleep 2
  t=$EPOCHREALTIME
  victim=$("$here/cluster.sh" kill-leader "$dir")
  killed=$EPOCHREALTIME
  until leader=$("$here/cluster.sh" leader "$dir" 2>/dev/null) && [ "$leader" != "$victim" ]; do
    sleep 0.1
    (($(echo "$EPOCHREALTIME - $t < 120" | bc))) || { echo "no new leader 120 s after kill $k" >&2; exit 1; }
  done
  promoted=$(elapsed "$t")
  # With two nodes, strict synchronous mode holds commits until the killed node
  # is back: rejoin it first.
  if ((nodes <= 2)); then
    r=$EPOCHREALTIME
    "$here/cluster.sh" rejoin "$dir" "$victim" 2>/dev/null
    rejoined=$(elapsed "$r")
  fi
  # The first write acknowledged once the old leader is dead came from the new one.
  until awk -v k="$killed" '$2 > k { found = 1 } END { exit !found }' "$dir/acked"; do
    sleep 0.1
    (($(echo "$EPOCHREALTIME - $t < 120" | bc))) || { echo "no write for 120 s after kill $k" >&2; exit 1; }
  done
  gap=$(awk -v k="$killed" -v t="$t" '$2 > k { printf "%.1f", $2 - t; exit }' "$dir/acked")
  if ((nodes > 2)); then
    r=$EPOCHREALTIME
    "$here/cluster.sh" rejoin "$dir" "$victim" 2>/dev/null
    rejoined=$(elapsed "$r")
  fi
  echo "kill $k: $victim killed, $leader leader after $promoted s, writes again after $gap s; $victim rejoined in $rejoined s"
done

sleep 1
: >"$dir/writer.stop"
wait "$writer" || true
writer=""
acked=$(wc -l <"$dir/acked")
# Every acknowledged number, on every node (a standby may still replay: let it).
sleep 2
cut -d' ' -f1 "$dir/acked" | sort >"$dir/acked.sorted"
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
