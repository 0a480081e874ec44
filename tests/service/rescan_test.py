#!/usr/bin/env python3
"""Kept samples analysed again, against the running service and a real clamd
whose signatures the test changes: rescan_test.py SERVICE"""
# clamd is given a daily.cud of the test's own (signature_db.py), replaced
# and reloaded between runs, so that its VERSION names a new signature
# version; the service asks for it every second. A clean kept file must turn
# bad without a new upload, a YARA rule added and compiled on SIGHUP must
# match a kept file, the rescan route must queue once and refuse what is not
# kept, and a service killed with SIGKILL in the middle of the work must go
# on where it stopped after a restart. The queue is read from the service's
# own SQLite file. Exits 77 (skip) where namespaces or clamd are missing,
# unless CI is set.

import contextlib
import hashlib
import http.client
import json
import os
import re
import signal
import sqlite3
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
import signature_db  # noqa: E402
from real_clamd import RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

METRICS_PORT = 9100
HELD = "0123456789abcdef0123456789abcdef"  # listed by an import, never uploaded
LATER = b"known only to the later signatures\n" + bytes(range(256))
STAYS = b"a file no signature will ever know\n"
MARKED = b"begins plain, then YARA-TEST-LATER-MARK\n"
RULE = 'rule Later { strings: $a = "YARA-TEST-LATER-MARK" condition: $a }\n'
MANY = 150  # samples in the kill test: enough that the work takes a while
WAIT = 60.0


def request(method: str, target: str, body: bytes | None = None,
            port: int = 80) -> tuple[int, bytes, dict]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request(method, target, body=body)
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    return reply.status, data, dict(reply.getheaders())


def upload(data: bytes, name: str) -> dict:
    for _ in range(50):
        # A job ends a moment after its answer: busy is asked again.
        status, body, _ = request("POST", "/api/v1/scan?" + urllib.parse.urlencode({"name": name}), data)
        if status != 503:
            break
        time.sleep(0.1)
    if status != 200:
        raise AssertionError(f"upload of {name}: status {status}: {body[:300]!r}")
    return json.loads(body)


def record(data: bytes) -> dict:
    status, body, _ = request("GET", "/api/v1/md5/" + hashlib.md5(data).hexdigest())
    if status != 200:
        raise AssertionError(f"record of {data[:20]!r}: status {status}")
    return json.loads(body)


def metric(name: str, labels: str = "") -> float:
    text = request("GET", "/metrics", port=METRICS_PORT)[1].decode()
    found = re.search(rf"^{re.escape(name + ('{' + labels + '}' if labels else ''))} (\S+)$", text, re.M)
    return float(found.group(1)) if found else -1.0


def clamav_scans(data: bytes) -> list[dict]:
    return [s for s in record(data)["scans"] if s["engine"] == "ClamAV"]


def until(what: str, holds, within: float = WAIT) -> None:
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if holds():
            return
        time.sleep(0.2)
    raise AssertionError(f"not within {within} s: {what}")


class Run:
    def __init__(self, program: str, workdir: str, clamd: RealClamd, rules: str):
        self.program, self.workdir, self.clamd, self.rules = program, workdir, clamd, rules
        self.samples = os.path.join(workdir, "samples")
        self.problems: list[str] = []
        self.version = 101
        self.signatures: dict[str, bytes] = {"Brantwicker.Test.None": b"matches nothing here"}
        self.service: RealService | None = None

    def expect(self, name: str, holds: bool, what) -> None:
        if not holds:
            self.problems.append(f"{name}: {what}")

    def start(self, lines: list[bytes] | None) -> None:
        self.service = RealService(self.program, self.workdir, lines, serve_args=(
            "--clamd", self.clamd.link, "--yara-rules", self.rules, "--samples", self.samples,
            "--signature-check", "1", "--rescan-jobs", "1", "--threads", "2",
            "--metrics-listen", f"127.0.0.1:{METRICS_PORT}"))

    def new_signatures(self, signatures: dict[str, bytes]) -> None:
        self.version += 1
        self.signatures |= signatures
        database = os.path.join(self.clamd.dir, "db")
        signature_db.install(database, self.version, self.signatures)
        signature_db.reload(self.clamd.socket, self.version)

    def queued(self, sha256: str | None = None) -> int:
        with contextlib.closing(sqlite3.connect(os.path.join(self.workdir, "store.db-live"))) as db:
            if sha256 is None:
                return db.execute("SELECT count(*) FROM rescan_queue").fetchone()[0]
            return db.execute("SELECT count(*) FROM rescan_queue WHERE sha256 = ?",
                              (bytes.fromhex(sha256),)).fetchone()[0]

    def turns_bad(self) -> None:
        got, stays = upload(LATER, "later.bin"), upload(STAYS, "stays.txt")
        self.expect("before", got["verdict"] == "unknown" and [s["signature_version"] for s in
                    clamav_scans(LATER)] == [str(self.version)], got)
        self.new_signatures({"Brantwicker.Test.Later-1": LATER})
        until("the kept file turns bad", lambda: record(LATER)["verdict"] == "bad")
        scans = clamav_scans(LATER)
        self.expect("history", [(s["signature_version"], s["result"]) for s in scans]
                    == [(str(self.version), "found"), (str(self.version - 1), "clean")], scans)
        self.expect("label", record(LATER)["label"].startswith("Brantwicker.Test.Later-1"),
                    record(LATER)["label"])
        until("the clean one is scanned again",
              lambda: len(clamav_scans(STAYS)) == 2 and self.queued() == 0)
        self.expect("stays", record(STAYS)["verdict"] == "unknown", record(STAYS))
        self.expect("metric", metric("brantwicker_verdict_changes_total",
                                     'from="unknown",to="bad"') == 1.0, "changes counted")
        self.expect("logged", "verdict unknown -> bad" in self.service.log(), self.service.log()[-800:])
        status, page, _ = request("GET", got["report"])
        self.expect("report", status == 200 and page.count(b"by ClamAV") >= 2
                    and b"Scan again with today's signatures" in page
                    and f'action="/files/{got["sha256"]}/rescan"'.encode() in page, page[-1500:])
        status, page, _ = request("GET", f"/qn/en/report/{HELD}.html")
        self.expect("no sample, no button", status == 200 and b"Scan again" not in page, page[-600:])
        self.stays = stays

    def rule_added(self) -> None:
        got = upload(MARKED, "marked.txt")
        self.expect("unmarked", got["verdict"] == "unknown", got)
        with open(os.path.join(self.rules, "later.yar"), "w") as rule:
            rule.write(RULE)
        self.service.signal(signal.SIGHUP)
        until("the kept file gains the match", lambda: record(MARKED)["label"] == "YARA:Later")
        yara = [s for s in record(MARKED)["scans"] if s["engine"] == "YARA"]
        self.expect("YARA history", len(yara) == 2 and yara[0]["result"] == "found"
                    and yara[1]["result"] == "clean", yara)

    def on_request(self) -> None:
        sha256 = hashlib.sha256(STAYS).hexdigest()
        target = f"/api/v1/files/{sha256}/rescan"
        # clamd out of reach: what is queued stays queued.
        self.clamd.point_at(os.path.join(self.workdir, "nowhere.sock"))
        try:
            first, second = request("POST", target), request("POST", target)
            self.expect("202", first[0] == 202 and json.loads(first[1])["report"] ==
                        record(STAYS)["report"], first[:2])
            self.expect("202 again", second[0] == 202, second[:2])
            # Tried twice while clamd is away (once after both requests), and
            # still queued, once.
            until("two tries without clamd",
                  lambda: self.service.log().count(f"{sha256}: not analysed again") >= 2)
            self.expect("not doubled, not dropped", self.queued(sha256) == 1 and self.queued() == 1,
                        (self.queued(sha256), self.queued()))
            page = request("POST", f"/files/{sha256}/rescan")
            self.expect("button", page[0] == 303 and page[2].get("Location") == record(STAYS)["report"],
                        page[:2])
        finally:
            self.clamd.point_at(self.clamd.socket)
        until("the queue empties once clamd is back", lambda: self.queued() == 0)
        unknown = hashlib.sha256(b"never uploaded").hexdigest()
        status, body, _ = request("POST", f"/api/v1/files/{unknown}/rescan")
        self.expect("404", status == 404 and b"No sample of this file is kept" in body, (status, body))
        status, body, _ = request("POST", "/api/v1/files/abc/rescan")
        self.expect("400", status == 400, (status, body))
        status, _, headers = request("GET", target)
        self.expect("405", status == 405 and headers.get("Allow") == "POST", status)

    def killed_and_restarted(self) -> None:
        files = [b"sample %d for the kill test\n" % i for i in range(MANY)]
        for i, data in enumerate(files):
            upload(data, f"many{i}.txt")
        before = metric("brantwicker_rescans_total", 'result="done"')
        self.new_signatures({"Brantwicker.Test.Many-1": files[-1]})
        version = str(self.version)
        until("some are analysed again", lambda: metric("brantwicker_rescans_total", 'result="done"')
              >= before + 10, WAIT)
        os.killpg(self.service.pid, signal.SIGKILL)
        self.service.ended(10)
        done = {i for i, data in enumerate(files) if self.scanned_with(data, version) > 0}
        left = self.queued()
        self.expect("killed in the middle", 0 < len(done) < MANY and left > 0, (len(done), left))
        self.start(None)
        until("the rest are analysed again", lambda: self.queued() == 0 and all(
            self.scanned_with(data, version) for data in files), 120)
        again = metric("brantwicker_rescans_total", 'result="done"')
        counts = [self.scanned_with(data, version) for data in files]
        self.expect("each once", counts == [1] * MANY, counts)
        # The restart took up the queue: at most the one in hand when killed
        # was analysed again, never the samples done before.
        self.expect("resumed", MANY - len(done) <= again <= MANY - len(done) + 1
                    + 3,  # the files of the earlier cases
                    (again, len(done)))
        self.expect("bad after all", record(files[-1])["verdict"] == "bad", record(files[-1]))

    def scanned_with(self, data: bytes, version: str) -> int:
        with contextlib.closing(sqlite3.connect(os.path.join(self.workdir, "store.db-live"))) as db:
            return db.execute("SELECT count(*) FROM scans WHERE md5 = ? AND engine = 'ClamAV'"
                              " AND signature_version = ?",
                              (hashlib.md5(data).digest(), version)).fetchone()[0]


def run(program: str) -> int:
    with tempfile.TemporaryDirectory(prefix="rescan-") as workdir:
        rules = os.path.join(workdir, "rules")
        os.makedirs(rules)
        with open(os.path.join(rules, "base.yar"), "w") as rule:
            rule.write('rule Base { strings: $a = "YARA-TEST-NEVER-HERE" condition: $a }\n')
        clamd = RealClamd(workdir, {}, 1 << 20)
        checks = Run(program, workdir, clamd, rules)
        try:
            checks.new_signatures({})
            checks.start([f"{HELD}  /held.bin".encode()])
            for behaviour in (checks.turns_bad, checks.rule_added, checks.on_request,
                              checks.killed_and_restarted):
                try:
                    behaviour()
                except (AssertionError, KeyError, TypeError, ValueError) as failed:
                    checks.problems.append(f"{behaviour.__name__}: {failed!r}")
        finally:
            if checks.service:
                checks.problems += checks.service.stop()
            clamd.stop()
            if checks.problems and checks.service:
                checks.problems.append(f"the service's log ends:\n{checks.service.log()[-2500:]}")
    print(*(f"FAIL: {problem}" for problem in checks.problems),
          f"{len(checks.problems)} problems", sep="\n")
    return 1 if checks.problems else 0


if __name__ == "__main__":
    outside = in_namespace() if clamd_program() else cannot_test(
        "the Debian package clamav-daemon is missing")
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
