#!/usr/bin/env python3
"""Look-ups while kept samples are analysed again, against the same look-ups
with nothing analysed, in the same run.

GET /api/v1/md5/<held> under wrk (two threads, 32 connections) for SECONDS,
first with the service idle, then while it analyses SAMPLES kept samples
again after clamd's signatures changed; each round changes the signatures
once more, so each round's second window runs beside a full queue. Reported:
the median requests per second and 99th percentile of each, their ratios, and
how fast the samples went through (from brantwicker_rescans_total). Then the
same windows while retro-hunts run over the kept samples, one after another
(POST /api/v1/retrohunt on the operator's address), against idle windows.

usage: bench/rescan_load.py SERVICE [--samples N] [--rounds N] [--seconds S] [--jobs N]

clamd is the Debian package's, run here on a database of the bench's own
(tests/e2e/real_clamd.py, signature_db.py). Run it on a release build, at low
priority on a shared machine (nice -n 10), after
scripts/install-bench-deps.sh and scripts/install-test-deps.sh (wrk, clamd)."""

import argparse
import hashlib
import http.client
import os
import random
import re
import signal
import socket
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import signature_db  # noqa: E402
from real_clamd import RealClamd  # noqa: E402


def free_port() -> int:
    """A loopback port nobody listens on now: other benchmarks may be running."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


PORT, METRICS = free_port(), free_port()


def request(method: str, target: str, body: bytes | None = None, port: int = PORT) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    connection.request(method, target, body=body)
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    return reply.status, data


def rescans_done() -> float:
    text = request("GET", "/metrics", port=METRICS)[1].decode()
    return float(re.search(r'^brantwicker_rescans_total\{result="done"\} (\S+)$', text, re.M).group(1))


def wrk(url: str, seconds: int) -> tuple[float, float]:
    """Requests per second and the 99th percentile in milliseconds."""
    out = subprocess.run(["wrk", "-t2", "-c32", f"-d{seconds}s", "--latency", url], check=True,
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    if "Non-2xx" in out:
        raise SystemExit(f"{url}: answers other than 200:\n{out}")
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    value, unit = re.search(r"^\s+99%\s+([\d.]+)(us|ms|s)\s*$", out, re.M).groups()
    return rate, float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]


# A rule that reads every byte of every sample and matches one in a hundred.
HUNT_RULE = b'rule bench_hunt { strings: $a = /sample \\d*00\\b/ condition: $a }'


def hunts_until(stop: threading.Event, finished: list[int]) -> None:
    """Retro-hunts one after another until `stop`; counts those that ended."""
    while not stop.is_set():
        status, body = request("POST", "/api/v1/retrohunt", HUNT_RULE, port=METRICS)
        if status != 202:
            raise SystemExit(f"retro-hunt refused: {status} {body[:200]!r}")
        hunt = json.loads(body)["id"]
        while True:
            state = json.loads(request("GET", f"/api/v1/retrohunt/{hunt}", port=METRICS)[1])["state"]
            if state != "running":
                break
            time.sleep(0.05)
        finished[0] += 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service")
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--jobs", type=int, default=1, help="--rescan-jobs")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="rescan-bench-") as workdir:
        clamd = RealClamd(workdir, {}, 64 << 20)
        database_dir = os.path.join(clamd.dir, "db")
        version = 100
        signature_db.install(database_dir, version, {"Bench.None": b"matches nothing"})
        signature_db.reload(clamd.socket, version)
        database = os.path.join(workdir, "store.db")
        held = hashlib.md5(b"held file").hexdigest()
        listing = os.path.join(workdir, "list.md5")
        with open(listing, "w") as out:
            out.write(f"{held}  /held\n")
            out.writelines(f"{hashlib.md5(b'%d' % i).hexdigest()}  /f{i}\n" for i in range(100_000))
        subprocess.run([options.service, "import", database, "--format", "md5sum", "--source", "bench",
                        listing], check=True, stderr=subprocess.DEVNULL)
        log = open(os.path.join(workdir, "service.log"), "wb")
        server = subprocess.Popen([options.service, "serve", database, "--listen", f"127.0.0.1:{PORT}",
                                   "--threads", "2", "--clamd", clamd.socket, "--scan-jobs", "2",
                                   "--samples", os.path.join(workdir, "samples"),
                                   "--rescan-jobs", str(options.jobs), "--signature-check", "1",
                                   "--metrics-listen", f"127.0.0.1:{METRICS}", "--bloom", "off"],
                                  stdout=log, stderr=log)
        try:
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.1)
            chance = random.Random(7)
            started = time.monotonic()
            for i in range(options.samples):
                sample = chance.randbytes(chance.randrange(1024, 64 * 1024)) + b"sample %d" % i
                while (status := request("POST", f"/api/v1/scan?name=s{i}", sample)[0]) == 503:
                    time.sleep(0.05)
                if status != 200:
                    raise SystemExit(f"upload {i}: status {status}")
            print(f"{options.samples} samples uploaded and kept in {time.monotonic() - started:.0f} s")
            url = f"http://127.0.0.1:{PORT}/api/v1/md5/{held}"
            idle, busy, paces = [], [], []
            for _ in range(options.rounds):
                idle.append(wrk(url, options.seconds))
                before = rescans_done()
                version += 1
                signature_db.install(database_dir, version, {"Bench.None": b"matches nothing"})
                signature_db.reload(clamd.socket, version)
                began = time.monotonic()
                while rescans_done() == before and time.monotonic() - began < 30:
                    time.sleep(0.1)
                during = rescans_done()
                busy.append(wrk(url, options.seconds))
                done = rescans_done() - during
                if rescans_done() - before >= options.samples:
                    print("warning: the queue emptied before the window ended; use more samples")
                while rescans_done() - before < options.samples:
                    time.sleep(0.5)
                took = time.monotonic() - began
                paces.append(options.samples / took)
                print(f"round: idle {idle[-1][0]:.0f} req/s p99 {idle[-1][1]:.2f} ms; while analysing"
                      f" {busy[-1][0]:.0f} req/s p99 {busy[-1][1]:.2f} ms ({done:.0f} samples in the"
                      f" window); all {options.samples} again in {took:.0f} s", flush=True)
            rate_idle = statistics.median(r for r, _ in idle)
            rate_busy = statistics.median(r for r, _ in busy)
            p99_idle = statistics.median(p for _, p in idle)
            p99_busy = statistics.median(p for _, p in busy)
            print(f"look-ups while analysing again: {rate_busy:.0f} req/s against {rate_idle:.0f} idle,"
                  f" ratio {rate_busy / rate_idle:.3f}; p99 {p99_busy:.2f} ms against {p99_idle:.2f} ms,"
                  f" ratio {p99_busy / p99_idle:.2f}; {statistics.median(paces):.1f} samples a second"
                  f" with --rescan-jobs {options.jobs}; wrk -t2 -c32 -d{options.seconds}s,"
                  f" median of {options.rounds} rounds")
            quiet, hunting, hunts = [], [], []
            for _ in range(options.rounds):
                quiet.append(wrk(url, options.seconds))
                stop, finished = threading.Event(), [0]
                hunter = threading.Thread(target=hunts_until, args=(stop, finished))
                hunter.start()
                hunting.append(wrk(url, options.seconds))
                stop.set()
                hunter.join()
                hunts.append(finished[0])
                print(f"round: idle {quiet[-1][0]:.0f} req/s p99 {quiet[-1][1]:.2f} ms; while hunting"
                      f" {hunting[-1][0]:.0f} req/s p99 {hunting[-1][1]:.2f} ms ({finished[0]} hunts over"
                      f" {options.samples} samples ended)", flush=True)
            rate_quiet = statistics.median(r for r, _ in quiet)
            rate_hunting = statistics.median(r for r, _ in hunting)
            p99_quiet = statistics.median(p for _, p in quiet)
            p99_hunting = statistics.median(p for _, p in hunting)
            print(f"look-ups while hunting: {rate_hunting:.0f} req/s against {rate_quiet:.0f} idle,"
                  f" ratio {rate_hunting / rate_quiet:.3f}; p99 {p99_hunting:.2f} ms against"
                  f" {p99_quiet:.2f} ms, ratio {p99_hunting / p99_quiet:.2f};"
                  f" {statistics.median(hunts)} hunts a window")
        finally:
            server.send_signal(signal.SIGTERM)
            server.wait(30)
            clamd.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
