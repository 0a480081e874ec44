#!/usr/bin/env python3
"""The store on PostgreSQL, measured in one run against references.

Import: the same list of LINES md5sum lines (bench/hash_list.py; 5 million
by default) through `brantwicker-service import` into a new PostgreSQL
store, against psql's `\\copy` of the same lines (as CSV) into a bare table
keyed by the MD5, on the same server. Target: at least 0.8 times its speed.

Look-ups: the same list imported into a SQLite store too; the service serves
each (same threads), and wrk (64 connections, --latency) drives the
program's consult and the JSON look-up of one held digest, rounds alternating
between the engines; the median round is reported. Targets: PostgreSQL at
least 0.7 times SQLite's requests per second, its 99th percentile under 5 ms.

The same look-ups again, each request asking one of 100,000 held digests
spread over the store, at random: the PostgreSQL store keeps the records it
read lately (as the SQLite one does), and one digest asked over and over is
always answered from them; spread, nearly every request goes to the
database. No target; shown so that both figures are seen. CPU time per
request is measured too (the service, and the database server's processes),
since wall figures on a shared machine are noisy.

Store size: bytes per record on each engine (PostgreSQL: every table and
index of the store; SQLite: the file).

The server is made by initdb in a temporary directory (as the user nobody
when run as root), listens on a Unix socket there only, with its default
settings but for a larger max_wal_size, and is removed afterwards.

usage: bench/postgres_vs_sqlite.py SERVICE [--lines N] [--rounds N] [--seconds S] [--threads N]
Run it on a release build (bash scripts/install-bench-deps.sh first)."""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

from hash_list import write_lists
from service_vs_nginx import CONSULT_LUA, reply_body, wait_for_port, wrk

PG_BIN = os.environ.get("BRANTWICKER_PG_BIN", "/usr/lib/postgresql/15/bin")
PORTS = {"SQLite": 18090, "PostgreSQL": 18091}


class Server:
    """A PostgreSQL server of its own in `work`/pg."""

    def __init__(self, work: str, settings: str = ""):
        self.socket = os.path.join(work, "pg")
        os.mkdir(self.socket, 0o700)
        self.prefix = []
        if os.geteuid() == 0:
            shutil.chown(self.socket, "nobody", "nogroup")
            self.prefix = ["runuser", "-u", "nobody", "--"]
        self.data = os.path.join(self.socket, "data")
        self.owner([f"{PG_BIN}/initdb", "-D", self.data, "-U", "bench", "-A", "trust",
                    "-E", "UTF8", "--locale=C", "--no-instructions"])
        self.owner([f"{PG_BIN}/pg_ctl", "-D", self.data, "-l", f"{self.socket}/log", "-w", "-o",
                    f"-k {self.socket} -c listen_addresses= -c max_wal_size=4GB {settings}", "start"])

    def owner(self, argv: list[str]) -> None:
        subprocess.run(self.prefix + argv, check=True, stdout=subprocess.DEVNULL, cwd="/")

    def uri(self, database: str) -> str:
        return f"postgresql:///{database}?host={self.socket}&user=bench"

    def psql(self, database: str, command: str) -> str:
        return subprocess.run([f"{PG_BIN}/psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-At",
                               "-d", self.uri(database), "-c", command],
                              check=True, capture_output=True, text=True).stdout.strip()

    def processes(self) -> list[int]:
        """The postmaster and its children (a backend per connection)."""
        with open(os.path.join(self.data, "postmaster.pid")) as pid:
            return children(int(pid.readline()))

    def stop(self) -> None:
        self.owner([f"{PG_BIN}/pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop"])


SPREAD_LUA = """
local digests = {{}}
for line in io.lines("{path}") do digests[#digests + 1] = line end
request = function()
  local digest = digests[math.random(#digests)]
  {make}
end
"""
SPREAD_REQUESTS = {
    "consult": 'return wrk.format("POST", nil, {["Content-Type"] = '
               '"application/x-www-form-urlencoded"}, "hash=" .. digest .. "&x=166&y=22")',
    "json": 'return wrk.format("GET", "/api/v1/md5/" .. digest)',
}
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pids: list[int]) -> float:
    """User and system CPU time the processes have used so far."""
    ticks = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except OSError:
            pass  # ended meanwhile
    return ticks / TICK


def children(parent: int) -> list[int]:
    found = [parent]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == parent:
                        found.append(int(entry))
            except OSError:
                pass
    return found


def timed(argv: list[str], work: str) -> tuple[float, float]:
    """Wall seconds and peak resident MiB of one run."""
    report = os.path.join(work, "time")
    subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", report, *argv], check=True,
                   stdout=subprocess.DEVNULL)
    with open(report) as figures:
        wall, kib = figures.read().split()[-2:]
    return float(wall), int(kib) / 1024


def serve(service: str, store: str, port: int, threads: int, work: str) -> subprocess.Popen:
    log = open(os.path.join(work, f"serve-{port}.log"), "wb")
    process = subprocess.Popen([service, "serve", store, "--listen", f"127.0.0.1:{port}",
                                "--threads", str(threads)],
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    wait_for_port(port, process, f"the service on {store[:40]}")
    return process


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service", help="the built brantwicker-service (a release build)")
    parser.add_argument("--lines", type=int, default=5_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--threads", type=int, default=2, help="service threads")
    options = parser.parse_args()
    for tool in ("wrk", "/usr/bin/time", f"{PG_BIN}/initdb"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is not installed: bash scripts/install-bench-deps.sh")

    work = tempfile.mkdtemp(prefix="postgres-bench-")
    os.chmod(work, 0o755)  # the server runs as nobody below it
    server, services = None, []
    try:
        listing, csv = os.path.join(work, "list.md5"), os.path.join(work, "list.csv")
        write_lists(options.lines, listing, csv)
        with open(listing) as lines:
            held = lines.readline()[:32]
        server = Server(work)
        server.psql("postgres", "CREATE DATABASE store")
        server.psql("postgres", "CREATE DATABASE reference")
        server.psql("reference", "CREATE TABLE files (md5 text PRIMARY KEY, name text)")

        lines = options.lines
        ref_wall, ref_mib = timed([f"{PG_BIN}/psql", "-X", "-q", "-d", server.uri("reference"), "-c",
                                   f"\\copy files (md5, name) FROM '{csv}' (FORMAT csv)"], work)
        pg_wall, pg_mib = timed([options.service, "import", server.uri("store"), "--source", "bench",
                                 listing], work)
        sqlite = os.path.join(work, "store.db")
        lite_wall, lite_mib = timed([options.service, "import", sqlite, "--source", "bench", listing],
                                    work)
        server.psql("store", "VACUUM ANALYZE")
        pg_bytes = int(server.psql("store", "SELECT sum(pg_total_relation_size(oid)) FROM pg_class"
                                            " WHERE relnamespace = 'public'::regnamespace"
                                            " AND relkind = 'r'"))
        ref_bytes = int(server.psql("reference", "SELECT pg_total_relation_size('files')"))
        tables = server.psql("store", "SELECT string_agg(relname || ' '"
                                      " || pg_total_relation_size(oid) / " + str(options.lines)
                                      + ", ', ' ORDER BY relname) FROM pg_class"
                                      " WHERE relnamespace = 'public'::regnamespace AND relkind = 'r'")
        lite_bytes = os.path.getsize(sqlite)

        print(f"{lines:,} lines; the machine is shared, so every figure is noisy")
        print(f"psql \\copy (reference): {ref_wall:6.1f} s  {lines / ref_wall:9,.0f} lines/s"
              f"  peak {ref_mib:5.1f} MiB")
        print(f"import into PostgreSQL: {pg_wall:6.1f} s  {lines / pg_wall:9,.0f} lines/s"
              f"  peak {pg_mib:5.1f} MiB")
        print(f"import into SQLite:     {lite_wall:6.1f} s  {lines / lite_wall:9,.0f} lines/s"
              f"  peak {lite_mib:5.1f} MiB")
        import_ratio = ref_wall / pg_wall
        failed = import_ratio < 0.8
        print(f"import speed vs \\copy: {import_ratio:.2f} (target >= 0.80): "
              f"{'met' if not failed else 'MISSED'}")
        print(f"bytes per record: PostgreSQL {pg_bytes / lines:.0f}, SQLite {lite_bytes / lines:.0f},"
              f" the bare \\copy table {ref_bytes / lines:.0f}")
        print(f"  PostgreSQL, bytes per record by table with its indexes: {tables}")

        stores = {"SQLite": sqlite, "PostgreSQL": server.uri("store")}
        services = [serve(options.service, stores[name], PORTS[name], options.threads, work)
                    for name in stores]
        script = os.path.join(work, "consult.lua")
        with open(script, "w") as lua:
            lua.write(CONSULT_LUA.format(digest=held))
        for name in stores:
            base = f"http://127.0.0.1:{PORTS[name]}"
            body = reply_body(urllib.request.Request(f"{base}/api/v1/md5/{held}"))
            if b'"md5"' not in body:
                raise SystemExit(f"{name}: {held} is not held: {body!r}")
        print(f"\nwrk, {options.rounds} rounds of {options.seconds} s each, "
              f"service threads {options.threads}")
        digests = os.path.join(work, "digests")
        with open(listing) as lines, open(digests, "w") as out:
            every = max(1, options.lines // 100_000)
            for number, line in enumerate(lines):
                if number % every == 0:
                    out.write(line[:32] + "\n")
        spread = {}
        for kind, make in SPREAD_REQUESTS.items():
            spread[kind] = os.path.join(work, f"spread-{kind}.lua")
            with open(spread[kind], "w") as lua:
                lua.write(SPREAD_LUA.format(path=digests, make=make))
        pids = {"SQLite": lambda: [services[0].pid],
                "PostgreSQL": lambda: [services[1].pid] + server.processes()}
        for route, path, lua, asked in (
                ("consult (POST)", "/qn/en/consultamd5", script, "one digest"),
                ("JSON look-up (GET)", f"/api/v1/md5/{held}", None, "one digest"),
                ("consult (POST)", "/qn/en/consultamd5", spread["consult"], "spread"),
                ("JSON look-up (GET)", "/", spread["json"], "spread")):
            rounds = {name: [] for name in stores}
            for _ in range(options.rounds):
                for name in stores:
                    before = cpu_seconds(pids[name]())
                    result = wrk(f"http://127.0.0.1:{PORTS[name]}{path}", options.seconds, lua)
                    result["cpu_us"] = (cpu_seconds(pids[name]()) - before) * 1e6 / result["requests"]
                    rounds[name].append(result)
            median = {name: sorted(r, key=lambda one: one["rps"])[len(r) // 2]
                      for name, r in rounds.items()}
            print(f"{route}, {asked}")
            for name, m in median.items():
                print(f"  {name:10} {m['rps']:9.0f} requests/s  p99 {m['p99_ms']:6.2f} ms"
                      f"  CPU {m['cpu_us']:5.0f} us/request  {m['errors']}")
            ratio = median["PostgreSQL"]["rps"] / median["SQLite"]["rps"]
            if asked == "spread":
                print(f"  PostgreSQL/SQLite {ratio:.2f} (no target: nearly every request reads the database)")
                continue
            ok = ratio >= 0.7 and median["PostgreSQL"]["p99_ms"] < 5.0
            print(f"  PostgreSQL/SQLite {ratio:.2f} (target >= 0.70), p99 "
                  f"{median['PostgreSQL']['p99_ms']:.2f} ms (target < 5 ms): {'met' if ok else 'MISSED'}")
            failed |= not ok or any(m["errors"] for m in median.values())
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
