#!/usr/bin/env bash
# Import speed of brantwicker-service against the sqlite3 shell's .import of
# the same lines, its peak memory, the store's size per record, and the time
# of one MD5 look-up in the store made.
#
#   bench/import_vs_sqlite3.sh [BUILD_DIR] [LINES]
#
# Generates an md5sum list of LINES lines (5 million by default; random
# digests, names shaped like a distribution's paths) and the same lines as
# CSV, under a temporary directory (about 1 GiB at 5 million lines, removed on
# exit; TMPDIR chooses where). Then, in the same run: brantwicker-service
# import into a fresh store, and sqlite3's .import into a fresh table keyed by
# the MD5 (WITHOUT ROWID), both under /usr/bin/time. Prints lines per second
# of each, their ratio (above 1 means brantwicker-service is faster), peak
# resident memory and bytes of store per record; then store_lookup_bench on
# the store (median of the repetitions).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/dev}
lines=${2:-5000000}
service=$build/bin/brantwicker-service
lookup_bench=$build/bin/store_lookup_bench

for tool in "$service" "$lookup_bench"; do
  [ -x "$tool" ] || { echo "import_vs_sqlite3: no program at $tool" >&2; exit 2; }
done
for tool in sqlite3 /usr/bin/time python3 awk; do
  command -v "$tool" >/dev/null || { echo "import_vs_sqlite3: $tool not found (scripts/install-bench-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/import-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 "$here/hash_list.py" "$lines" "$work/list.md5" "$work/list.csv"
cat "$work/list.md5" "$work/list.csv" >/dev/null

# Prints "wall_seconds cpu_seconds peak_kib" for one run of the command.
measure() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null
  awk '{ print $1, $2 + $3, $4 }' "$work/time"
}

read -r ours_wall ours_cpu ours_kib < <(measure "$service" import "$work/store.db" "$work/list.md5")
read -r ref_wall ref_cpu ref_kib < <(measure sqlite3 "$work/reference.db" \
  "CREATE TABLE files (md5 TEXT PRIMARY KEY, name TEXT) WITHOUT ROWID" \
  ".mode csv" ".import $work/list.csv files")

held=$("$service" stats "$work/store.db" | awk '$2 ~ /^(good|bad|unknown)$/ { n += $1 } END { print n }')
[ "$held" = "$lines" ] || { echo "import_vs_sqlite3: store holds $held of $lines" >&2; exit 1; }
store_bytes=$(stat -c %s "$work/store.db")

python3 - "$lines" "$ours_wall" "$ours_cpu" "$ours_kib" "$ref_wall" "$ref_cpu" "$ref_kib" "$store_bytes" \
  "$(stat -c %s "$work/reference.db")" <<'PY'
import sys
lines = int(sys.argv[1])
ow, oc, ok, rw, rc, rk = map(float, sys.argv[2:8])
store, ref = int(sys.argv[8]), int(sys.argv[9])
print(f"lines: {lines}")
print(f"brantwicker-service import: {ow:.1f} s wall, {oc:.1f} s CPU, {lines / ow:,.0f} lines/s, peak {ok / 1024:.1f} MiB")
print(f"sqlite3 .import:            {rw:.1f} s wall, {rc:.1f} s CPU, {lines / rw:,.0f} lines/s, peak {rk / 1024:.1f} MiB")
print(f"speed ratio (sqlite3 time / ours): wall {rw / ow:.2f}, CPU {rc / oc:.2f}")
print(f"store: {store / lines:.0f} bytes per record (sqlite3 table: {ref / lines:.0f})")
PY

echo "look-up of one MD5 in the store (median of 9 repetitions):"
"$lookup_bench" "$work/store.db" "$work/list.md5" --benchmark_repetitions=9 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E '_median|^Benchmark'
