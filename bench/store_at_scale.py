#!/usr/bin/env python3
"""Both stores at the size of a real file list, measured in one run.

A list of LINES lines shaped like NSRL's (bench/nsrl_list.py: names, sizes,
products of several files, a quarter of the lines repeating a file another
product shipped) is imported into a new PostgreSQL store and a new SQLite
one, through `brantwicker-service import`. Reported for each engine:

- import time and the import command's peak memory; for PostgreSQL also the
  WAL the import wrote, and psql's `\\copy` of the same lines into a bare
  table with an index on the MD5 (the reference: target at least 0.8 of its
  speed);
- bytes per file held and per line imported (PostgreSQL: every table and
  index of the store; SQLite: its file);
- look-ups spread over 100,000 held digests at random (consult and the JSON
  look-up; wrk, 64 connections; the median of ROUNDS rounds, alternating
  between the engines): requests per second, the 99th percentile, and the
  CPU time per request (the service, and PostgreSQL's processes). The
  server is given --shared-buffers (32 MB by default), less than the store
  takes; the kernel's page cache is not limited, so what the server's cache
  misses is read from memory, not from the disk;
- a weekly feed (WEEKLY lines, 1,000,000 by default, at most a tenth of the
  list: new products, a fifth of whose lines repeat files already held)
  imported into the full store: time, WAL, the store's size after it, and
  the dead rows left.

The disk this run used at its peak is printed at the end. It needs about
1 GB per million lines (the lists, both stores, the reference table and the
WAL); 100 million lines would need about 100 GB.

usage: bench/store_at_scale.py SERVICE [--lines N] [--weekly N] [--rounds N] [--seconds S]
Run it on a release build (bash scripts/install-bench-deps.sh first), at low
priority on a shared machine."""

import argparse
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile

from nsrl_list import write_list
from postgres_vs_sqlite import PG_BIN, SPREAD_LUA, SPREAD_REQUESTS, Server, cpu_seconds, serve, timed
from service_vs_nginx import wrk

PORTS = {"SQLite": 18092, "PostgreSQL": 18093}


def weekly_list(path: str, lines: int, full: str, full_lines: int) -> None:
    """New products after the list's, a fifth of the lines files it held."""
    write_list(lines - lines // 5, path, seed=7, products_from=10_000_000)
    rng = random.Random(11)
    wanted = sorted(rng.sample(range(full_lines), lines // 5))
    with open(full) as source, open(path, "a") as out:
        next(source)  # the header
        at = 0
        for number, line in enumerate(source):
            if at < len(wanted) and number == wanted[at]:
                fields = line.rsplit(",", 3)
                out.write(f"{fields[0]},{20_000_000 + at // 40},{fields[2]},{fields[3]}")
                at += 1


def wal_position(server: Server) -> int:
    return int(server.psql("postgres", "SELECT pg_current_wal_lsn() - '0/0'"))


def pg_bytes(server: Server) -> int:
    return int(server.psql("store", "SELECT sum(pg_total_relation_size(oid)) FROM pg_class"
                                    " WHERE relnamespace = 'public'::regnamespace AND relkind = 'r'"))


def held_files(sqlite_path: str) -> int:
    with sqlite3.connect(sqlite_path) as db:
        return db.execute("SELECT count(*) FROM files").fetchone()[0]


def disk_used(path: str) -> int:
    return int(subprocess.run(["du", "-sb", path], capture_output=True, text=True).stdout.split()[0])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service", help="the built brantwicker-service (a release build)")
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--weekly", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--threads", type=int, default=2, help="service threads")
    parser.add_argument("--shared-buffers", default="32MB")
    options = parser.parse_args()
    weekly = min(options.weekly, options.lines // 10)
    for tool in ("wrk", "/usr/bin/time", f"{PG_BIN}/initdb"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is not installed: bash scripts/install-bench-deps.sh")

    work = tempfile.mkdtemp(prefix="store-scale-")
    os.chmod(work, 0o755)  # the server runs as nobody below it
    server, services, peak_disk = None, [], 0
    try:
        listing, feed = os.path.join(work, "list.csv"), os.path.join(work, "weekly.csv")
        write_list(options.lines, listing)
        weekly_list(feed, weekly, listing, options.lines)
        server = Server(work, f"-c shared_buffers={options.shared_buffers}")
        server.psql("postgres", "CREATE DATABASE store")
        server.psql("postgres", "CREATE DATABASE reference")
        server.psql("reference", "CREATE TABLE files (sha1 text, md5 text, crc32 text, name text,"
                                 " size bigint, product integer, os text, special text)")
        server.psql("reference", "CREATE INDEX ON files (md5)")

        lines = options.lines
        ref_wall, _ = timed([f"{PG_BIN}/psql", "-X", "-q", "-d", server.uri("reference"), "-c",
                             f"\\copy files FROM '{listing}' (FORMAT csv, HEADER)"], work)
        wal_before = wal_position(server)
        pg_wall, pg_mib = timed([options.service, "import", server.uri("store"), "--source", "nsrl",
                                 listing], work)
        pg_wal = wal_position(server) - wal_before
        sqlite = os.path.join(work, "store.db")
        lite_wall, lite_mib = timed([options.service, "import", sqlite, "--source", "nsrl", listing],
                                    work)
        peak_disk = max(peak_disk, disk_used(work))
        files = held_files(sqlite)
        pg_size, lite_size = pg_bytes(server), os.path.getsize(sqlite)

        print(f"{lines:,} lines ({files:,} files); the machine is shared, so every figure is noisy")
        print(f"psql \\copy (reference): {ref_wall:7.1f} s  {lines / ref_wall:9,.0f} lines/s")
        print(f"import into PostgreSQL: {pg_wall:7.1f} s  {lines / pg_wall:9,.0f} lines/s"
              f"  peak {pg_mib:5.1f} MiB  WAL {pg_wal / 2**20:,.0f} MiB")
        print(f"import into SQLite:     {lite_wall:7.1f} s  {lines / lite_wall:9,.0f} lines/s"
              f"  peak {lite_mib:5.1f} MiB")
        import_ratio = ref_wall / pg_wall
        failed = import_ratio < 0.8
        print(f"PostgreSQL import vs \\copy: {import_ratio:.2f} (target >= 0.80): "
              f"{'met' if not failed else 'MISSED'}")
        print(f"bytes per file: PostgreSQL {pg_size / files:.0f} (target <= 200), SQLite"
              f" {lite_size / files:.0f}; per line {pg_size / lines:.0f} and {lite_size / lines:.0f}")
        failed |= pg_size / files > 200
        print(f"  the server's cache (shared_buffers) {options.shared_buffers}; the PostgreSQL store"
              f" {pg_size / 2**20:,.0f} MiB, so most look-ups miss it (the kernel's cache is not limited)")

        stores = {"SQLite": sqlite, "PostgreSQL": server.uri("store")}
        services = [serve(options.service, stores[name], PORTS[name], options.threads, work)
                    for name in stores]
        # CPU time per request: the service's, and on PostgreSQL the server's
        # processes' too; steadier than requests per second on a busy machine.
        pids = {"SQLite": lambda: [services[0].pid],
                "PostgreSQL": lambda: [services[1].pid] + server.processes()}
        digests = os.path.join(work, "digests")
        with open(listing) as source, open(digests, "w") as out:
            next(source)
            every = max(1, lines // 100_000)
            for number, line in enumerate(source):
                if number % every == 0:
                    out.write(line.split(",")[1].strip('"').lower() + "\n")
        print(f"\nwrk, spread over 100,000 held digests, {options.rounds} rounds of"
              f" {options.seconds} s each, service threads {options.threads}")
        for kind, make in SPREAD_REQUESTS.items():
            script = os.path.join(work, f"spread-{kind}.lua")
            with open(script, "w") as lua:
                lua.write(SPREAD_LUA.format(path=digests, make=make))
            path = "/qn/en/consultamd5" if kind == "consult" else "/"
            rounds = {name: [] for name in stores}
            for _ in range(options.rounds):
                for name in stores:
                    before = cpu_seconds(pids[name]())
                    result = wrk(f"http://127.0.0.1:{PORTS[name]}{path}", options.seconds, script)
                    result["cpu_us"] = (cpu_seconds(pids[name]()) - before) * 1e6 / result["requests"]
                    rounds[name].append(result)
            median = {name: sorted(r, key=lambda one: one["rps"])[len(r) // 2]
                      for name, r in rounds.items()}
            for name, m in median.items():
                print(f"  {kind:8} {name:10} {m['rps']:9.0f} requests/s  p99 {m['p99_ms']:6.2f} ms"
                      f"  CPU {m['cpu_us']:4.0f} us/request  {m['errors']}")
            ratio = median["PostgreSQL"]["rps"] / median["SQLite"]["rps"]
            ok = ratio >= 0.7
            cpu = median["SQLite"]["cpu_us"] / median["PostgreSQL"]["cpu_us"]
            print(f"  {kind:8} PostgreSQL/SQLite {ratio:.2f} (target >= 0.70): {'met' if ok else 'MISSED'};"
                  f" by CPU time per request {cpu:.2f}")
            failed |= not ok or any(m["errors"] for m in median.values())
        for process in services:
            process.send_signal(signal.SIGTERM)
            process.wait(20)
        services = []

        print(f"\nweekly feed: {weekly:,} lines into the full store")
        wal_before = wal_position(server)
        pg_wall, pg_mib = timed([options.service, "import", server.uri("store"), "--source", "weekly",
                                 feed], work)
        pg_wal = wal_position(server) - wal_before
        lite_wall, lite_mib = timed([options.service, "import", sqlite, "--source", "weekly", feed], work)
        peak_disk = max(peak_disk, disk_used(work))
        files = held_files(sqlite)
        dead = server.psql("store", "SELECT n_dead_tup FROM pg_stat_user_tables WHERE relname = 'files'")
        print(f"  PostgreSQL {pg_wall:6.1f} s  peak {pg_mib:5.1f} MiB  WAL {pg_wal / 2**20:,.0f} MiB;"
              f" then {pg_bytes(server) / files:.0f} bytes per file, {dead} dead rows in files")
        print(f"  SQLite     {lite_wall:6.1f} s  peak {lite_mib:5.1f} MiB;"
              f" then {os.path.getsize(sqlite) / files:.0f} bytes per file")
        print(f"\ndisk used by this run at its peak: {peak_disk / 2**30:.1f} GiB")
        return 1 if failed else 0
    finally:
        for process in services:
            process.send_signal(signal.SIGTERM)
            process.wait(20)
        if server:
            server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
