#!/usr/bin/env python3
"""Hash-lookup clients' routes and the Bloom filter export, each beside its
reference in the same run.

1. GET /lookup/sha1/<h> against our GET /api/v1/sha1/<h>, the same held
   digest on the same store and service, under wrk (two threads, 32
   connections); rounds alternate, the median is reported. Target: at least
   0.95 of our route's requests per second.
2. export-bloom of FILES SHA-1s against the bloom command's `bloom create`
   fed the same digests (upper-case hex, one a line) on standard input, with
   the same n and p. Wall time and peak memory of each, from GNU time.
   Targets: at least 2 times faster; peak memory near m/8.

usage: bench/hashlookup_bench.py SERVICE [--records N] [--files N] [--rounds N] [--seconds S]

The stores are made here with SERVICE's own import, from NSRL-format lines
generated on the fly. Run it on a release build, at low priority on a shared
machine (bash scripts/install-bench-deps.sh and scripts/install-test-deps.sh
first: wrk, GNU time, the bloom command)."""

import argparse
import hashlib
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

P = 0.0001


def free_port() -> int:
    """A loopback port nobody listens on now: other benchmarks may be running."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


PORT = free_port()


def sha1_of(i: int) -> str:
    return hashlib.sha1(b"file %d" % i).hexdigest().upper()


def make_store(service: str, database: str, files: int) -> None:
    """Imports `files` NSRL lines, piped in as they are made."""
    importer = subprocess.Popen([service, "import", database, "--format", "nsrl", "--source", "bench",
                                 "-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    batch = []
    for i in range(files):
        md5 = hashlib.md5(b"file %d" % i).hexdigest()
        batch.append(f'"{sha1_of(i)}","{md5}","00000000","f{i}",{i},1,"",""\n')
        if len(batch) == 100_000:
            importer.stdin.write("".join(batch).encode())
            batch.clear()
    importer.stdin.write("".join(batch).encode())
    importer.stdin.close()
    if importer.wait() != 0:
        raise SystemExit("the import failed")


def wrk(url: str, seconds: int) -> float:
    out = subprocess.run(["wrk", "-t2", "-c32", f"-d{seconds}s", url], check=True,
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    if "Non-2xx" in out:
        raise SystemExit(f"{url}: answers other than 200:\n{out}")
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


def routes(service: str, workdir: str, records: int, rounds: int, seconds: int) -> None:
    database = os.path.join(workdir, "routes.db")
    make_store(service, database, records)
    server = subprocess.Popen([service, "serve", database, "--listen", f"127.0.0.1:{PORT}",
                               "--threads", "2", "--bloom", "off"], stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        held = sha1_of(records // 2)
        theirs, ours = [], []
        for _ in range(rounds):
            theirs.append(wrk(f"http://127.0.0.1:{PORT}/lookup/sha1/{held}", seconds))
            ours.append(wrk(f"http://127.0.0.1:{PORT}/api/v1/sha1/{held.lower()}", seconds))
        a, b = statistics.median(theirs), statistics.median(ours)
        print(f"GET /lookup/sha1: {a:.0f} req/s; GET /api/v1/sha1: {b:.0f} req/s; ratio {a / b:.3f}"
              f" (target >= 0.95); {records} records, wrk -t2 -c32 -d{seconds}s, median of {rounds}")
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(20)


def timed(argv: list[str], stdin=None) -> tuple[float, int, float]:
    """Wall seconds, peak resident KiB and CPU seconds, from GNU time."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M %U %S", *argv], stdin=stdin,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
    wall, peak, user, system = done.stderr.strip().splitlines()[-1].split()
    return float(wall), int(peak), float(user) + float(system)


def export(service: str, workdir: str, files: int) -> None:
    database = os.path.join(workdir, "export.db")
    make_store(service, database, files)
    digests = os.path.join(workdir, "digests.txt")
    with open(digests, "w") as out:
        for start in range(0, files, 100_000):
            out.write("".join(sha1_of(i) + "\n" for i in range(start, min(files, start + 100_000))))
    ours_file, theirs_file = os.path.join(workdir, "ours.bloom"), os.path.join(workdir, "theirs.bloom")
    ours = timed([service, "export-bloom", database, ours_file, "--fp", str(P)])
    with open(digests) as feed:
        theirs = timed(["bloom", "create", "-n", str(files), "-p", str(P), theirs_file], stdin=feed)
    m_bytes = (os.path.getsize(ours_file) - 48)
    print(f"export-bloom: {ours[0]:.1f} s ({ours[2]:.1f} s CPU), peak {ours[1] / 1024:.0f} MiB;"
          f" bloom create: {theirs[0]:.1f} s ({theirs[2]:.1f} s CPU), peak {theirs[1] / 1024:.0f} MiB;"
          f" {theirs[0] / ours[0]:.2f} times faster, {theirs[2] / ours[2]:.2f} times less CPU"
          f" (target >= 2); m/8 = {m_bytes / 2**20:.0f} MiB; {files} SHA-1s, p {P}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service")
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--skip-routes", action="store_true")
    parser.add_argument("--skip-export", action="store_true")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="hashlookup-bench-") as workdir:
        if not options.skip_routes:
            routes(options.service, workdir, options.records, options.rounds, options.seconds)
        if not options.skip_export:
            export(options.service, workdir, options.files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
