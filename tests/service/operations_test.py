#!/usr/bin/env python3
"""The service as an operator runs it: operations_test.py --service SERVICE"""
# A known sequence of requests, then the metrics as Prometheus scrapes them
# (checked by promtool) and the digests most asked and not held; the counts
# again after a restart, and without a digest once it is imported; health,
# and health once the store cannot be read; a descriptor limit with no room
# for a connection refused at start, and one with room for some giving a
# bound that fits beside what the stores hold. Runs in private namespaces; exits
# 77 (skip) where they cannot be made, unless CI is set.

import contextlib
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_service import RealService, in_namespace  # noqa: E402

PUBLIC = "http://127.0.0.1:80"
OPERATOR = "http://127.0.0.1:9100"
SERVE = ("--metrics-listen", "127.0.0.1:9100", "--threads", "2")

HELD = "0123456789abcdef0123456789abcdef"
UNKNOWN = "ffffffffffffffffffffffffffffffff"
UNKNOWN_SHA1 = "ee" * 20
UNKNOWN_SHA256 = "dd" * 32

# The known sequence: method, path, body, and the status each must get.
SEQUENCE = [
    ("POST", "/qn/en/consultamd5", f"hash={HELD}&x=1&y=2", 303),
    ("POST", "/qn/en/consultamd5", f"hash={UNKNOWN}&x=1&y=2", 303),
    ("POST", "/qn/en/consultamd5", f"hash={UNKNOWN}&x=1&y=2", 303),
    ("GET", f"/api/v1/md5/{UNKNOWN}", None, 404),
    ("GET", f"/api/v1/sha1/{UNKNOWN_SHA1}", None, 404),
    ("GET", f"/buscaHash.html?hash={UNKNOWN_SHA1}", None, 404),
    ("POST", "/api/v1/bulk/sha256", json.dumps([UNKNOWN_SHA256, UNKNOWN_SHA256]), 200),
    ("GET", "/no/such/page", None, 404),
    ("GET", "/metrics", None, 404),          # not on the public address
    ("GET", "/api/v1/unknown", None, 404),   # nor this
    ("GET", "/healthz", None, 200),
]
# Samples the scrape after SEQUENCE must hold, exactly.
SAMPLES = {
    'brantwicker_http_requests_total{route="consult",status="303"}': 3,
    'brantwicker_http_requests_total{route="api_md5",status="404"}': 1,
    'brantwicker_http_requests_total{route="search",status="404"}': 1,
    'brantwicker_http_requests_total{route="api_bulk_sha256",status="200"}': 1,
    'brantwicker_http_requests_total{route="not_found",status="404"}': 1,
    'brantwicker_http_requests_total{route="metrics",status="404"}': 1,
    'brantwicker_http_requests_total{route="healthz",status="200"}': 1,
    'brantwicker_http_request_duration_seconds_count{route="consult"}': 3,
    'brantwicker_http_request_duration_seconds_bucket{route="consult",le="+Inf"}': 3,
    'brantwicker_store_files{verdict="unknown"}': 1,
    'brantwicker_store_files{verdict="bad"}': 0,
    'brantwicker_store_errors_total': 0,
    'brantwicker_connections_refused_total': 0,
    'brantwicker_scans_total{result="infected"}': 0,
    'brantwicker_scanner_up': 0,
}
# The unknown digests and their counts after SEQUENCE: the consult, the API,
# the search page and the bulk each count what they did not find.
ASKED = {UNKNOWN: 3, UNKNOWN_SHA1: 2, UNKNOWN_SHA256: 1}


def request(base: str, method: str, path: str, body: str | None = None) -> tuple[int, str]:
    class Stay(urllib.request.HTTPRedirectHandler):  # a 303 is the answer, not a step
        def redirect_request(self, *args):
            return None
    opener = urllib.request.build_opener(Stay, urllib.request.ProxyHandler({}))
    data = body.encode() if body is not None else None
    try:
        with opener.open(urllib.request.Request(base + path, data, method=method), timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as reply:
        return reply.code, reply.read().decode()


def check_metrics(text: str) -> list[str]:
    checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                             text=True)
    problems = [] if checked.returncode == 0 else [f"promtool: {checked.stdout}{checked.stderr}"]
    values = {}
    for line in text.splitlines():
        if not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
    for name, wanted in SAMPLES.items():
        if values.get(name) != wanted:
            problems.append(f"metrics: {name} is {values.get(name)}, wanted {wanted}")
    # Cumulative buckets never fall.
    buckets = [v for k, v in values.items() if k.startswith(
        'brantwicker_http_request_duration_seconds_bucket{route="consult"')]
    if buckets != sorted(buckets):
        problems.append(f"metrics: consult's buckets fall: {buckets}")
    return problems


def unknown_counts(base: str = OPERATOR) -> tuple[dict, dict]:
    status, body = request(base, "GET", "/api/v1/unknown?top=10")
    if status != 200:
        return {}, {"status": status}
    listing = json.loads(body)
    return {d["digest"]: d["count"] for d in listing["digests"]}, listing


def descriptor_limits(program: str, workdir: str) -> list[str]:
    # Not one connection fits beside the threads: the service refuses to
    # start, and says both numbers. Room for some: the bound it takes fits
    # beside the descriptors its stores hold, two for each connection.
    database = os.path.join(workdir, "limits.db")
    subprocess.run([program, "import", database, "--format", "md5sum", "/dev/null"], check=True,
                   capture_output=True)
    problems = []
    for limit, threads, refused in ((256, 200, True), (600, 100, False)):
        def low_limit() -> None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        started = subprocess.Popen([program, "serve", database, "--listen", "127.0.0.1:8088",
                                    "--threads", str(threads)], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                   preexec_fn=low_limit)
        held = None
        if not refused:
            for _ in range(100):
                with contextlib.suppress(OSError):
                    socket.create_connection(("127.0.0.1", 8088), timeout=1).close()
                    held = len(os.listdir(f"/proc/{started.pid}/fd"))
                    break
                time.sleep(0.05)
            started.send_signal(signal.SIGTERM)
        try:
            _, said = started.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            started.kill()
            _, said = started.communicate()
        bound = re.search(r"(\d+) connections at most: the descriptor limit is %d" % limit, said)
        if refused:
            if started.returncode != 1 or f"descriptor limit {limit}" not in said \
                    or f"{threads} threads" not in said:
                problems.append(f"{limit} descriptors, {threads} threads: status {started.returncode}: "
                                f"{said[-300:]!r}")
        elif held is None or not bound or held + 2 * int(bound[1]) > limit:
            problems.append(f"{limit} descriptors, {threads} threads: {held} held beside "
                            f"{bound and bound[1]} connections: {said[-300:]!r}")
    return problems


def run(program: str) -> int:
    problems = []
    with tempfile.TemporaryDirectory(prefix="operations-") as workdir:
        problems += descriptor_limits(program, workdir)
        service = RealService(program, workdir, [f"{HELD}  /bin/held".encode()], serve_args=SERVE)
        try:
            for method, path, body, status in SEQUENCE:
                got, reply = request(PUBLIC, method, path, body)
                if got != status:
                    problems.append(f"{method} {path}: {got}, wanted {status}: {reply[:200]}")
            status, text = request(OPERATOR, "GET", "/metrics")
            problems += check_metrics(text) if status == 200 else [f"/metrics: {status}"]
            counts, listing = unknown_counts()
            if counts != ASKED:
                problems.append(f"unknown before the restart: {listing}")
            status, page = request(OPERATOR, "GET", "/unknown.html?top=2")
            if status != 200 or UNKNOWN not in page or UNKNOWN_SHA256 in page:
                problems.append(f"the operator's page, top 2: {status} {page[:300]}")

            problems += service.stop()
            service = RealService(program, workdir, None, serve_args=SERVE)
            kept, after = unknown_counts()
            if kept != ASKED or after.get("digests") != listing.get("digests"):
                problems.append(f"unknown after the restart: {after}, before: {listing}")

            # Imported, a digest leaves the list.
            service.add(program, [f"{UNKNOWN}  /bin/now-held".encode()])
            held_now, listing = unknown_counts()
            if UNKNOWN in held_now or UNKNOWN_SHA1 not in held_now:
                problems.append(f"unknown once {UNKNOWN} is held: {listing}")

            status, reply = request(PUBLIC, "GET", "/healthz")
            if (status, reply) != (200, "store ok\n"):
                problems.append(f"health: {status} {reply!r}")
            # The store's every byte overwritten in place: the file is still
            # there, but nothing in it can be read.
            with open(service.database, "r+b") as store:
                store.write(b"\0" * os.fstat(store.fileno()).st_size)
            status, reply = request(PUBLIC, "GET", "/healthz")
            if (status, reply) != (503, "store failing\n"):
                problems.append(f"health of an unreadable store: {status} {reply!r}")
        finally:
            problems += service.stop()
    print(*(f"FAIL: {problem}" for problem in problems), f"{len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    outside = in_namespace()
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
