#!/usr/bin/env bash
# The feeds' import against references measured in the same run:
#
#   bench/feed_import_bench.sh [BUILD_DIR] [RDS_ROWS] [BAZAAR_LINES]
#
# 1. RDS: generates an RDS v3 database of RDS_ROWS FILE rows (10 million by
#    default; the schema of tests/service/rds_v3_schema.sql, random digests as
#    uppercase hex, 5000 packages) with the sqlite3 shell, then imports it into a fresh store, and in the same run has the
#    sqlite3 shell ATTACH it and INSERT OR IGNORE FILE joined to PKG into a
#    table keyed by the MD5 (WITHOUT ROWID), both under /usr/bin/time; then
#    imports the same release again into the store made (the weekly
#    re-import). Target: at least as fast as sqlite3, peak memory under
#    64 MiB, the re-import no slower than the first.
# 2. Archive cost: one MalwareBazaar-shaped export of BAZAAR_LINES lines (1
#    million by default) imported into a fresh store unpacked and from a
#    .zip, alternately, three rounds each; the median of each. Target: the
#    zip costs at most 10% more time.
#
# Files go under a temporary directory (about 2 GiB at 10 million rows,
# removed on exit; TMPDIR chooses where).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/dev}
rows=${2:-10000000}
lines=${3:-1000000}
service=$build/bin/brantwicker-service

[ -x "$service" ] || { echo "feed_import_bench: no program at $service" >&2; exit 2; }
for tool in sqlite3 /usr/bin/time python3 awk; do
  command -v "$tool" >/dev/null || { echo "feed_import_bench: $tool not found (scripts/install-bench-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/feed-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Prints "wall_seconds cpu_seconds peak_kib" for one run of the command.
measure() {
  /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" \
    || { cat "$work/stderr" >&2; exit 1; }
  awk '{ print $1, $2 + $3, $4 }' "$work/time"
}

sqlite3 "$work/rds.db" <"$here/../tests/service/rds_v3_schema.sql"
sqlite3 "$work/rds.db" <<SQL
INSERT INTO VERSION VALUES ('2024.12.1', 'modern minimal', '2024-12-01', '2024-12-05', 'generated');
WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 5000)
INSERT INTO PKG SELECT x, 'Product ' || x, (x % 30) || '.' || (x % 7), x % 40, x % 300, 'English', 'Application'
FROM n;
WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < $rows)
INSERT INTO FILE SELECT hex(randomblob(32)), hex(randomblob(20)), hex(randomblob(16)), hex(randomblob(4)),
  'file' || (x % 50000) || '.dll', abs(random() % 10000000), 1 + abs(random() % 5000) FROM n;
SQL
cat "$work/rds.db" >/dev/null

read -r ours_wall ours_cpu ours_kib < <(measure "$service" import "$work/store.db" "$work/rds.db")
read -r ref_wall ref_cpu ref_kib < <(measure sqlite3 "$work/reference.db" \
  "CREATE TABLE t (md5 TEXT PRIMARY KEY, sha1 TEXT, sha256 TEXT, size INTEGER, name TEXT, label TEXT) WITHOUT ROWID" \
  "ATTACH '$work/rds.db' AS rds" \
  "INSERT OR IGNORE INTO t SELECT f.md5, f.sha1, f.sha256, f.file_size, f.file_name, p.name || ' ' || p.version
   FROM rds.FILE AS f JOIN rds.PKG AS p ON p.package_id = f.package_id")
read -r again_wall again_cpu again_kib < <(measure "$service" import "$work/store.db" "$work/rds.db")
held=$("$service" stats "$work/store.db" | awk '$2 ~ /^(good|bad|unknown)$/ { n += $1 } END { print n }')
[ "$held" = "$rows" ] || { echo "feed_import_bench: store holds $held of $rows rows" >&2; exit 1; }

python3 - "$rows" "$ours_wall" "$ours_cpu" "$ours_kib" "$ref_wall" "$ref_cpu" "$ref_kib" \
  "$again_wall" "$again_cpu" "$again_kib" <<'PY'
import sys
rows = int(sys.argv[1])
ow, oc, ok, rw, rc, rk, aw, ac, ak = map(float, sys.argv[2:11])
print(f"RDS rows: {rows}")
print(f"brantwicker-service import:  {ow:.1f} s wall, {oc:.1f} s CPU, {rows / ow:,.0f} rows/s, peak {ok / 1024:.1f} MiB")
print(f"sqlite3 INSERT OR IGNORE:    {rw:.1f} s wall, {rc:.1f} s CPU, {rows / rw:,.0f} rows/s, peak {rk / 1024:.1f} MiB")
print(f"the same release again:      {aw:.1f} s wall, {ac:.1f} s CPU, peak {ak / 1024:.1f} MiB")
print(f"speed ratio (sqlite3 time / ours): wall {rw / ow:.2f}, CPU {rc / oc:.2f}; re-import / first: {aw / ow:.2f}")
PY

python3 - "$lines" "$work/full.csv" "$work/full.zip" <<'PY'
import random, sys, zipfile
lines, csv, packed = int(sys.argv[1]), sys.argv[2], sys.argv[3]
rng = random.Random(16)
families = ["AgentTesla", "Formbook", "RedLineStealer", "n/a", "Mirai", "Emotet"]
with open(csv, "w") as f:
    f.write("################################################################\n"
            "# MalwareBazaar full malware samples dump (CSV)                #\n"
            "################################################################\n#\n"
            '# "first_seen_utc","sha256_hash","md5_hash","sha1_hash","reporter","file_name","file_type_guess",'
            '"mime_type","signature","clamav","vtpercent","imphash","ssdeep","tlsh"\n')
    for i in range(lines):
        f.write(f'"2024-12-07 08:{i % 60:02d}:00", "{rng.getrandbits(256):064x}", "{rng.getrandbits(128):032x}", '
                f'"{rng.getrandbits(160):040x}", "abuse_ch", "sample{i}.exe", "exe", "application/x-dosexec", '
                f'"{rng.choice(families)}", "n/a", "{rng.randrange(100)}.0", "{rng.getrandbits(128):032x}", '
                f'"3072:{rng.getrandbits(96):024x}", "T1{rng.getrandbits(280):070X}"\n')
with zipfile.ZipFile(packed, "w", zipfile.ZIP_DEFLATED) as z:
    z.write(csv, "full.csv")
PY
cat "$work/full.csv" "$work/full.zip" >/dev/null

plain=() packed=()
for round in 1 2 3; do
  rm -f "$work"/bazaar.db*
  read -r wall _ kib < <(measure "$service" import "$work/bazaar.db" "$work/full.csv")
  plain+=("$wall")
  rm -f "$work"/bazaar.db*
  read -r wall _ kib < <(measure "$service" import "$work/bazaar.db" "$work/full.zip")
  packed+=("$wall")
done
python3 - "$lines" "$(stat -c %s "$work/full.csv")" "$(stat -c %s "$work/full.zip")" "${plain[@]}" "${packed[@]}" <<'PY'
import statistics, sys
lines, csv, packed = map(int, sys.argv[1:4])
plain, zipped = list(map(float, sys.argv[4:7])), list(map(float, sys.argv[7:10]))
p, z = statistics.median(plain), statistics.median(zipped)
print(f"MalwareBazaar export: {lines} lines, {csv / 2**20:.0f} MiB, zipped {packed / 2**20:.0f} MiB")
print(f"unpacked: {p:.1f} s (rounds {plain}); from the zip: {z:.1f} s (rounds {zipped})")
print(f"archive cost: the zip takes {100 * (z / p - 1):+.1f}% time")
PY
