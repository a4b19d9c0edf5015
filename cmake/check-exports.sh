#!/usr/bin/env bash
# Checks the dynamic symbol tables of the installed libraries: the public
# classes are there, and nothing of the engine's backends (db::engine, nor
# SQLite's or libpq's own functions) is exported.
#   cmake/check-exports.sh PREFIX
set -euo pipefail
lib=$(dirname "$(find "$1" -name 'libZrDb.so' | head -n 1)")
[ -d "$lib" ] || { echo "no libZrDb.so under $1" >&2; exit 1; }
symbols=$(for so in "$lib"/libZrLib.so "$lib"/libZrDb.so "$lib"/libDivUdurezevudoZE.so; do
            nm -DC --defined-only "$so" | sed "s|^|$(basename "$so") |"; done)
leaked=$(grep -E ' [A-Za-z] ((vtable|typeinfo|typeinfo name|VTT|construction vtable) for )?db::engine::| [A-Za-z] (sqlite3|PQ|pg_)[A-Za-z_]*$' <<<"$symbols" || true)
if [ -n "$leaked" ]; then
  echo "backend internals exported:" >&2
  echo "$leaked" >&2
  exit 1
fi
for wanted in 'DBtran::commit()' 'db::Database::open(' 'CReplicationVolumeDB::remove(int, DBtran\*)' 'divu::openCatalogue(' 'zrstrcpy('; do
  grep -q -- "$wanted" <<<"$symbols" || { echo "not exported: $wanted" >&2; exit 1; }
done
echo "exports: $(wc -l <<<"$symbols") symbols, no backend internals"
