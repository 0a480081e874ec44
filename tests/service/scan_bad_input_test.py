#!/usr/bin/env python3
"""Bad uploads against the running service and a real clamd: scan_bad_input_test.py SERVICE"""
# The service runs with a small upload bound, two scan jobs, a short read
# time-out and a short clamd time-out, pointed at a real clamd through a link
# that some cases turn to a socket answering in clamd's place. Each case must
# get its one answer; after each, a look-up still works and the number of
# scans kept is exactly what the case allows (nothing half-made is stored).
# Exits 77 (skip) where namespaces or clamd are missing, unless CI is set.

import contextlib
import hashlib
import json
import os
import random
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from bad_input_test import HELD, NORMAL, connect, talk  # noqa: E402
from real_clamd import BODY_MARK, BODY_SIGNATURE, UNOFFICIAL, RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402
import signature_db  # noqa: E402

LIMIT = 1 << 20          # --scan-max-bytes
READ_TIMEOUT = 2         # seconds
CLAMD_TIMEOUT = 3        # --scan-timeout
BOUNDARY = "----bwk-test-boundary"
API = "/api/v1/scan"


def post(target: str, body: bytes, content_type: str = "application/octet-stream",
         length: int | None = None, headers: bytes = b"") -> bytes:
    return (b"POST %s HTTP/1.1\r\nHost: service.test\r\nConnection: close\r\nContent-Type: %s\r\n"
            b"%sContent-Length: %d\r\n\r\n" % (target.encode(), content_type.encode(), headers,
                                               len(body) if length is None else length)) + body


def part(name: str, content: bytes, filename: str | None = "upload.bin") -> bytes:
    disposition = f'form-data; name="{name}"' + (f'; filename="{filename}"' if filename else "")
    return (f"--{BOUNDARY}\r\nContent-Disposition: {disposition}\r\n"
            f"Content-Type: application/octet-stream\r\n\r\n").encode() + content + b"\r\n"


def form(*parts: bytes, closed: bool = True) -> bytes:
    body = b"".join(parts) + (f"--{BOUNDARY}--\r\n".encode() if closed else b"")
    return post("/scan", body, f"multipart/form-data; boundary={BOUNDARY}")


def content(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


# name, request, status, scans it adds, texts the reply must hold.
CASES = [
    ("exactly the limit", form(part("file", content(LIMIT, 1))), 303, 1, [b"Location: /qn/en/report/"]),
    ("a byte over, form", form(part("file", content(LIMIT + 1, 2))), 413, 0, [b"too large"]),
    ("a byte over, API", post(API, content(LIMIT + 1, 3)), 413, 0, [b'"error"']),
    ("body signature", post(API + "?name=%3Cmarked%3E.bin", b"x" + BODY_MARK + b"y"), 200, 1,
     [f'"signature":"{BODY_SIGNATURE}{UNOFFICIAL}"'.encode(), b'"names":["<marked>.bin"]',
      b'"size":%d' % (len(BODY_MARK) + 2)]
     + [b'"%s":"%s"' % (kind.encode(), hashlib.new(kind, b"x" + BODY_MARK + b"y").hexdigest().encode())
        for kind in ("md5", "sha1", "sha256")]),
    ("the same file again", post(API, b"x" + BODY_MARK + b"y"), 200, 0, [b'"result":"found"']),
    ("no file part", form(part("other", b"text", None)), 400, 0, [b"no file field"]),
    ("two file parts", form(part("file", b"one"), part("file", b"two")), 400, 0, [b"more than one"]),
    ("boundary never closes", form(part("file", content(5000, 4)), closed=False), 400, 0,
     [b"ended before"]),
    ("part header block never ends",
     form(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="file"\r\nX: '.encode()
          + b"a" * 10000, closed=False), 400, 0, [b"header block"]),
    ("not multipart", post("/scan", b"file=abc", "application/x-www-form-urlencoded"), 400, 0, []),
    ("chunked", b"POST /api/v1/scan HTTP/1.1\r\nHost: s\r\nTransfer-Encoding: chunked\r\n\r\n"
     b"3\r\nabc\r\n0\r\n\r\n", 411, 0, []),
]


class FakeClamd:
    """A socket in clamd's place: "garbage" answers anything with words that
    are not clamd's, "silent" never answers, "limit" names a version and then
    refuses the stream as too large, as clamd does past StreamMaxLength.
    "busy" keeps its queue of connections full until released, then answers
    as a clamd that finds nothing."""

    def __init__(self, path: str, mode: str):
        self.path = path
        self._server = socket.socket(socket.AF_UNIX)
        self._server.bind(path)
        self._server.listen(0 if mode == "busy" else 8)
        self._mode = mode
        self._open: list[socket.socket] = []
        self.released = threading.Event()
        if mode == "busy":  # the one place in the queue taken
            queued = socket.socket(socket.AF_UNIX)
            queued.setblocking(False)
            queued.connect(path)
            self._open.append(queued)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        with contextlib.suppress(OSError):
            if self._mode == "busy":
                self.released.wait()
            while True:
                client, _ = self._server.accept()
                self._open.append(client)
                if self._mode == "busy":
                    threading.Thread(target=self._answer, args=(client,), daemon=True).start()
                    continue
                command = client.recv(64)
                if self._mode == "garbage":
                    client.sendall(b"HTTP/1.0 200 OK\r\n\r\nhello\0")
                elif self._mode == "limit":
                    client.sendall(b"ClamAV 1.0.0\0" if command.startswith(b"zVERSION")
                                   else b"INSTREAM size limit exceeded. ERROR\0")

    @staticmethod
    def _answer(client: socket.socket) -> None:
        with contextlib.suppress(OSError):
            stream = b""
            while not stream.startswith(b"zVERSION\0") and not stream.endswith(b"\0\0\0\0"):
                piece = client.recv(65536)
                if not piece:
                    return
                stream += piece
            client.sendall(b"ClamAV 1.0.0\0" if stream.startswith(b"zVERSION") else b"stream: OK\0")

    def close(self) -> None:
        for sock in self._open + [self._server]:
            sock.close()
        os.unlink(self.path)


class Run:
    def __init__(self, program: str, workdir: str, service: RealService, clamd: RealClamd):
        self.program, self.workdir, self.service, self.clamd = program, workdir, service, clamd

    def scans(self) -> int:
        return json.loads(talk(b"GET /api/v1/info HTTP/1.0\r\n\r\n")[1].split(b"\r\n\r\n", 1)[1])["scans"]

    def check(self, name: str, got: tuple, status: int, added: int, before: int,
              texts: list[bytes]) -> list[str]:
        # The answer, the scans kept, and a look-up afterwards.
        code, reply, end = got
        after = self.scans()
        looked = talk(NORMAL[1])[0]
        checks = [(code == status, f"status {code}, wanted {status}: {reply[:300]!r}"),
                  (end == "eof", f"the connection ended by {end}"),
                  (after - before == added, f"{after - before} scans kept, wanted {added}"),
                  (looked == 303, f"a look-up afterwards got {looked}")]
        checks += [(text in reply, f"lacks {text!r}") for text in texts]
        return [f"{name}: {problem}" for holds, problem in checks if not holds]

    def case(self, name, data, status, added, texts) -> list[str]:
        before = self.scans()
        return self.check(name, talk(data), status, added, before, texts)

    def half_then(self, data: bytes, then) -> tuple:
        # Sends the header and half the body, calls then(), and returns
        # what talk() gives for the rest (None: the client went away).
        sock = connect()
        sock.sendall(data[:len(data) // 2])
        time.sleep(0.3)
        if then() == "leave":
            sock.close()
            return None
        return talk(data[len(data) // 2:], sock)

    def cut_off(self) -> list[str]:
        before = self.scans()
        gone = self.half_then(post(API, content(200_000, 5)), lambda: "leave")
        time.sleep(0.5)
        stalled = self.half_then(post(API, content(200_000, 6)), lambda: time.sleep(READ_TIMEOUT + 1))
        problems = (self.check("cut off half way", (None, b"", "eof") if gone is None else gone, None,
                               0, before, [])
                    + self.check("stalled half way", stalled, 408, 0, before, []))
        # The read time-out bounds each stall, not the whole upload: one that
        # keeps coming, slower in all than the time-out, is scanned.
        before = self.scans()
        steady, sock = post(API, content(100_000, 7)), connect()
        piece = len(steady) // 8 + 1
        for start in range(0, len(steady), piece):
            sock.sendall(steady[start:start + piece])
            time.sleep(READ_TIMEOUT / 3)
        return problems + self.check("slow but steady", talk(b"", sock), 200, 1, before, [])

    def three_at_once(self) -> list[str]:
        before = self.scans()
        uploads = [post(API, content(50_000, 10 + i)) for i in range(3)]
        held = [connect() for _ in range(2)]
        for sock, data in zip(held, uploads):
            sock.sendall(data[:200])
        time.sleep(0.5)
        third = talk(uploads[2])
        problems = self.check("third of three at once", third, 503, 0, before, [b"Retry-After: 5"])
        for sock, data in zip(held, uploads):
            before = self.scans()
            problems += self.check("first two of three", talk(data[200:], sock), 200, 1, before, [])
        return problems

    def clamd_killed(self) -> list[str]:
        before = self.scans()
        killed = self.half_then(post(API, content(400_000, 20)), self.clamd.kill)
        problems = self.check("clamd killed during a scan", killed, 503, 0, before,
                              [b"Retry-After: 30", b"unavailable"])
        problems += self.case("clamd down", post(API, b"while down"), 503, 0, [])
        self.clamd.start()
        return problems + self.case("clamd back", post(API, b"clamd is back"), 200, 1, [b'"clean"'])

    def stand_ins(self) -> list[str]:
        problems = []
        for mode, status, text in (("garbage", 502, b"not a scanner"), ("silent", 504, b"in time"),
                                   ("limit", 413, b"larger than the scanner")):
            fake = FakeClamd(os.path.join(self.workdir, f"fake-{mode}.sock"), mode)
            self.clamd.point_at(fake.path)
            try:
                problems += self.case(f"clamd replaced: {mode}", post(API, b"to " + mode.encode()),
                                      status, 0, [text])
            finally:
                self.clamd.point_at(self.clamd.socket)
                fake.close()
        return problems

    def busy_scanner(self) -> list[str]:
        # clamd's queue of connections full: a busy scanner, tried again
        # within the scan time-out; a queue that frees in time is scanned.
        problems = []
        for release_after in (None, 1.0):
            fake = FakeClamd(os.path.join(self.workdir, "fake-busy.sock"), "busy")
            self.clamd.point_at(fake.path)
            if release_after:
                threading.Timer(release_after, fake.released.set).start()
            try:
                problems += (self.case("clamd busy", post(API, b"while busy"), 503, 0,
                                       [b"Retry-After: 5", b"scanner is busy"]) if not release_after
                             else self.case("clamd busy for a second", post(API, b"busy a while"),
                                            200, 1, [b'"result":"clean"']))
            finally:
                fake.released.set()
                self.clamd.point_at(self.clamd.socket)
                fake.close()
        return problems

    def not_answering(self) -> list[str]:
        # Health and the information page ask clamd themselves once what it
        # said last is a few seconds old: about a second for one that never
        # answers, not the scan time-out.
        fake = FakeClamd(os.path.join(self.workdir, "fake-mute.sock"), "silent")
        self.clamd.point_at(fake.path)
        time.sleep(5.5)
        answers = {}

        def ask(path: str) -> None:
            started = time.monotonic()
            answers[path] = talk(f"GET {path} HTTP/1.0\r\n\r\n".encode()), time.monotonic() - started
        askers = [threading.Thread(target=ask, args=(path,)) for path in ("/healthz", "/api/v1/info")]
        for asker in askers:
            asker.start()
        for asker in askers:
            asker.join()
        self.clamd.point_at(self.clamd.socket)
        fake.close()
        problems = []
        for path, status, text in (("/healthz", 503, b"clamd failing"),
                                   ("/api/v1/info", 200, b"clamd did not answer in time")):
            (code, reply, _), took = answers[path]
            if code != status or text not in reply or took > CLAMD_TIMEOUT - 0.5:
                problems.append(f"{path} with clamd not answering: {code} in {took:.1f} s: {reply[-300:]!r}")
        return problems

    def body_after_headers(self) -> list[str]:
        # The header block alone first, the body once the service said to go
        # on, or a moment later: the verdict of a known-bad file holds,
        # through the API and through the form.
        problems = []
        for index, (way, expect) in enumerate([("api", False), ("api", True), ("form", False),
                                               ("form", True)]):
            marked = b"%d" % index + BODY_MARK + content(3000, 30 + index)
            go_on = b"Expect: 100-continue\r\n" if expect else b""
            request = (post(API, marked, headers=go_on) if way == "api" else
                       post("/scan", part("file", marked) + f"--{BOUNDARY}--\r\n".encode(),
                            f"multipart/form-data; boundary={BOUNDARY}", headers=go_on))
            head, body = request.split(b"\r\n\r\n", 1)
            name = f"body after headers, {way}{', 100-continue' if expect else ''}"
            before = self.scans()
            sock = connect()
            sock.sendall(head + b"\r\n\r\n")
            if expect:
                said = b""
                while b"\r\n\r\n" not in said and (piece := sock.recv(1)):
                    said += piece
                if not said.startswith(b"HTTP/1.1 100 "):
                    problems.append(f"{name}: no 100 Continue: {said!r}")
            else:
                time.sleep(0.3)
            problems += self.check(name, talk(body, sock), 200 if way == "api" else 303, 1, before,
                                   [b'"verdict":"bad"'] if way == "api" else [])
            md5 = hashlib.md5(marked).hexdigest()
            record = talk(f"GET /api/v1/md5/{md5} HTTP/1.0\r\n\r\n".encode())[1]
            if f'"signature":"{BODY_SIGNATURE}{UNOFFICIAL}"'.encode() not in record:
                problems.append(f"{name}: the file is not held as found: {record[-300:]!r}")
        return problems

    def signature_update(self) -> list[str]:
        # A file scanned clean, then signatures that know it: scanned again,
        # the clean scan kept in its history.
        later = b"known only to the later signatures " + content(100, 40)
        database = os.path.join(self.clamd.dir, "db")
        signature_db.install(database, 101, {"Brantwicker.Test.Daily-1": b"not the file"})
        signature_db.reload(self.clamd.socket, 101)
        problems = self.case("before the update", post(API, later), 200, 1,
                             [b'"signature_version":"101","time"', b'"result":"clean"'])
        problems += self.case("before the update, again", post(API, later), 200, 0, [])
        signature_db.install(database, 102, {"Brantwicker.Test.Daily-2": later})
        signature_db.reload(self.clamd.socket, 102)
        return problems + self.case("after the update", post(API, later), 200, 1, [
            b'"verdict":"bad"', b'"signature_version":"102"', b'"signature":"Brantwicker.Test.Daily-2',
            b'"signature_version":"101"'])

    def during_import(self) -> list[str]:
        # The import holds the lists' write lock from its first line until
        # its input ends.
        database = os.path.join(self.workdir, "store.db")
        importing = subprocess.Popen([self.program, "import", database, "--format", "md5sum",
                                      "--source", "slow", "-"], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # More than the import's reader takes in one piece.
        importing.stdin.write(b"".join(b"%032x  /slow/%d\n" % (i, i) for i in range(20_000)))
        importing.stdin.flush()
        time.sleep(0.5)
        problems = []
        with contextlib.closing(sqlite3.connect(database, timeout=0)) as probe:
            try:
                probe.execute("BEGIN IMMEDIATE")
                problems.append("during an import: the import did not hold the lists")
            except sqlite3.OperationalError:
                pass
        started = time.monotonic()
        problems += self.case("upload during an import", post(API, b"during the import"), 200, 1, [])
        if time.monotonic() - started > 3:
            problems.append("during an import: the upload waited for it")
        importing.stdin.close()
        if importing.wait(30) != 0:
            problems.append(f"during an import: the import ended with {importing.returncode}")
        return problems


def run(program: str) -> int:
    with tempfile.TemporaryDirectory(prefix="scan-bad-input-") as workdir:
        clamd = RealClamd(workdir, {}, 2 * LIMIT)
        service, problems = None, []
        try:
            service = RealService(program, workdir, [f"{HELD}  /held.bin".encode()], serve_args=(
                "--clamd", clamd.link, "--scan-max-bytes", str(LIMIT), "--scan-jobs", "2",
                "--scan-timeout", str(CLAMD_TIMEOUT), "--read-timeout", str(READ_TIMEOUT),
                "--threads", "2"))
            run = Run(program, workdir, service, clamd)
            for case in CASES:
                problems += run.case(*case)
            for behaviour in (run.cut_off, run.three_at_once, run.clamd_killed, run.stand_ins,
                              run.busy_scanner, run.not_answering, run.body_after_headers,
                              run.during_import, run.signature_update):
                problems += behaviour()
        finally:
            problems += service.stop() if service else []
            clamd.stop()
            if problems and service:
                problems.append(f"the service's log ends:\n{service.log()[-2000:]}")
    print(*(f"FAIL: {problem}" for problem in problems), f"{len(CASES) + 22} cases, "
          f"{len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    outside = in_namespace() if clamd_program() else cannot_test(
        "the Debian package clamav-daemon is missing")
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
