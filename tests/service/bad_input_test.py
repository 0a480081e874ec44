#!/usr/bin/env python3
"""Bad input against the running service."""
# The service runs with a short read time-out and a small bound on
# connections. Each case sends something a careless or hostile client might,
# and must get its one clear answer or a clean close (never a reset, never a
# hang); after every case a normal consult must still succeed. Exits 77 (skip)
# where namespaces cannot be made, unless CI is set.

import argparse
import collections
import hashlib
import os
import resource
import signal
import socket
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from real_service import RealService, in_namespace  # noqa: E402

READ_TIMEOUT = 2       # seconds, given to the service
MAX_CONNECTIONS = 300  # given to the service
CROWD = 500            # connections opened at once
WAIT = 8.0             # the longest any answer may take

HELD = hashlib.md5(b"held by the bad-input test").hexdigest()
HOSTILE_NAME = "<img src=x onerror=alert(1)> \"quoted\" 'single' & more.bin"
REPORT = f"/qn/en/report/{HELD}/quellarion-brantwicker-file-report.html"


def consult(digest: str, length: int | None = None) -> bytes:
    body = f"hash={digest}&x=166&y=22".encode()
    length = len(body) if length is None else length
    return (b"POST /qn/en/consultamd5 HTTP/1.0\r\nHost: service.test\r\n"
            b"User-Agent: el.Agent [by el.Quo]\r\nContent-Length: %d\r\n\r\n" % length) + body


def get(target: str, headers: bytes = b"", method: bytes = b"GET", body: bytes = b"") -> bytes:
    return b"%s %s HTTP/1.1\r\nHost: service.test\r\nConnection: close\r\n%s%s\r\n%s" % (
        method, target.encode(), headers, b"Content-Length: %d\r\n" % len(body) if body else b"", body)


def post(target: str, body: bytes) -> bytes:
    return get(target, method=b"POST", body=body)


def chunked(size: int) -> bytes:
    head = b"POST /api/v1/bulk/md5 HTTP/1.1\r\nHost: s\r\nTransfer-Encoding: chunked\r\n\r\n"
    return head + (b"10000\r\n" + b"[" * 0x10000 + b"\r\n") * (size // 0x10000)


def talk(sock: socket.socket, data: bytes) -> tuple[bytes, str]:
    # Sends from another thread while reading every reply byte here, so an
    # early answer is read before the sender is stopped. Returns what arrived
    # and how the connection ended: eof, reset or timeout.
    def send() -> None:
        try:
            sock.sendall(data)
        except OSError:  # the service stopped reading: its answer says why
            pass
    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    received = b""
    sock.settimeout(WAIT)
    try:
        while chunk := sock.recv(65536):
            received += chunk
        end = "eof"
    except ConnectionResetError:
        end = "reset"
    except socket.timeout:
        end = "timeout"
    sender.join(WAIT)
    sock.close()
    return received, end


def status_of(reply: bytes) -> int | None:
    parts = reply.split(b" ", 2)
    return int(parts[1]) if len(parts) > 2 and parts[0].startswith(b"HTTP/1.") else None


# name, bytes sent, the status expected (None: closed without a word), and
# what the reply must (or, with "!", must not) contain.
CASES = [
    ("nothing sent", b"", None, []),
    ("half a request line", b"GET /buscaHash.html HT", 408, []),
    ("headers never ended", b"GET / HTTP/1.1\r\nHost: s\r\n", 408, []),
    ("body shorter than its length", consult(HELD, 60), 408, []),
    ("10 MB body", post("/api/v1/bulk/md5", b"[" * 10_000_000), 413, []),
    ("10 MB chunked body", chunked(10_000_000), 413, []),
    ("100 KB header block", get("/", b"X-Filler: " + b"a" * 100_000 + b"\r\n"), 431, []),
    ("many small headers", get("/", b"X-A: b\r\n" * 2000), 431, []),
    ("not HTTP", b"\x00\x01\x02\xff junk\r\n\r\n", 400, []),
    ("bad content length", b"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400, []),
    ("form without hash", post("/qn/en/consultamd5", b"x=166&y=22&&=&%zz"), 400, [b"no hash"]),
    ("form with broken escapes", post("/qn/en/consultamd5", b"hash=%g%&x"), 400, [b"32 hex"]),
    ("consult without body", b"POST /qn/en/consultamd5 HTTP/1.0\r\n\r\n", 400, []),
    ("hash too short", consult(HELD[:-1]), 400, []),
    ("hash too long", consult(HELD + "0"), 400, []),
    ("hash not hex", consult(HELD[:-1] + "z"), 400, []),
    ("api digest of the wrong length", get("/api/v1/sha256/" + HELD), 400, []),
    ("api digest not hex", get("/api/v1/md5/" + "g" * 32), 400, []),
    ("search digest not hex", get("/buscaHash.html?hash=%3Cb%3E" + "x" * 30), 400,
     [b"&lt;b&gt;", b"!<b>x"]),
    ("bulk nested deep", post("/api/v1/bulk/md5", b"[" * 60_000), 400, []),
    ("bulk of 1001", post("/api/v1/bulk/md5", b'["%s"' % HELD.encode() + b',"%s"' % HELD.encode()
                          * 1000 + b"]"), 400, [b"at most 1000"]),
    ("name with markup and quotes", get(REPORT), 200,
     [b"&lt;img src=x onerror=alert(1)&gt; &quot;quoted&quot; &#39;single&#39; &amp; more.bin",
      b"!<img", b"!\"quoted\""]),
    ("dot-dot path", get("/../../../etc/passwd"), 404, [b"!root:"]),
    ("dot-dot in a report path", get("/qn/en/report/../../../../etc/passwd"), 404, [b"!root:"]),
    ("escaped dot-dot", get("/%2e%2e/%2e%2e/etc/passwd"), 404, [b"!root:"]),
    ("unknown method", b"BREW /buscaHash.html HTTP/1.1\r\nHost: s\r\n\r\n", 405, []),
]


def check_case(address, name: str, data: bytes, status: int | None, texts: list[bytes]) -> list[str]:
    started = time.monotonic()
    reply, end = talk(socket.create_connection(address, timeout=WAIT), data)
    took, problems = time.monotonic() - started, []
    if status_of(reply) != status:
        problems.append(f"status {status_of(reply)}, wanted {status}: {reply[:200]!r}")
    if end != "eof":
        problems.append(f"the connection ended by {end}, not a clean close")
    if status in (None, 408) and not READ_TIMEOUT - 0.5 <= took <= READ_TIMEOUT + 3:
        problems.append(f"cut after {took:.1f} s, wanted about {READ_TIMEOUT} s")
    for text in texts:
        present = text.lstrip(b"!") in reply
        if present == text.startswith(b"!"):
            problems.append(f"{'has' if present else 'lacks'} {text.lstrip(b'!')!r}")
    return [f"{name}: {problem}" for problem in problems]


def check_crowd(address) -> list[str]:
    # CROWD connections at once, all open before any sends its consult: the
    # first MAX_CONNECTIONS get 303, the rest 503 (or a close without a word);
    # none is reset and none hangs.
    admitted = [socket.create_connection(address, timeout=WAIT) for _ in range(MAX_CONNECTIONS)]
    time.sleep(0.5)  # all taken in by the service before the rest arrive
    turned_away = [socket.create_connection(address, timeout=WAIT)
                   for _ in range(CROWD - MAX_CONNECTIONS)]
    time.sleep(0.5)  # and these refused while the first are still open
    for sock in admitted + turned_away:
        sock.sendall(consult(HELD))
    problems = []
    for group, sockets, wanted in (("admitted", admitted, {"303/eof"}),
                                   ("past the bound", turned_away, {"503/eof", "None/eof"})):
        seen = collections.Counter(f"{status_of(reply)}/{end}"
                                   for reply, end in (talk(sock, b"") for sock in sockets))
        if set(seen) - wanted:
            problems.append(f"crowd, {group}: wanted {sorted(wanted)}, saw {dict(seen)}")
    return problems


def check_stop(service) -> list[str]:
    # SIGTERM with a consult half sent and a connection idle: the listener
    # closes, the idle connection is closed, the half-sent consult is still
    # answered once its rest arrives, and the service then ends by itself.
    data = consult(HELD)
    busy = socket.create_connection(service.address, timeout=WAIT)
    busy.sendall(data[:20])
    idle = socket.create_connection(service.address, timeout=WAIT)
    time.sleep(0.2)
    service.signal(signal.SIGTERM)
    time.sleep(0.3)
    problems = []
    try:
        socket.create_connection(service.address, timeout=WAIT).close()
        problems.append("stopping: still accepts connections")
    except ConnectionRefusedError:
        pass
    reply, end = talk(idle, b"")
    if (reply, end) != (b"", "eof"):
        problems.append(f"stopping: the idle connection ended {end} with {reply[:100]!r}")
    reply, end = talk(busy, data[20:])
    if status_of(reply) != 303 or end != "eof":
        problems.append(f"stopping: the request in flight got {reply[:100]!r}, {end}")
    if not service.ended(within=3):
        problems.append("stopping: the service did not end once its requests were done")
    return problems


def normal_consult_works(address) -> bool:
    reply, end = talk(socket.create_connection(address, timeout=WAIT), consult(HELD))
    return status_of(reply) == 303 and f'located <a href="{REPORT}">'.encode() in reply


def run(program: str) -> int:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4 * CROWD)), hard))
    with tempfile.TemporaryDirectory(prefix="bad-input-") as workdir:
        service = RealService(program, workdir, [f"{HELD}  {HOSTILE_NAME}".encode()],
                              serve_args=("--read-timeout", str(READ_TIMEOUT),
                                          "--max-connections", str(MAX_CONNECTIONS),
                                          "--threads", "2"))
        problems = []
        try:
            for name, data, status, texts in CASES + [("crowd", None, None, None)]:
                problems += (check_crowd(service.address) if data is None
                             else check_case(service.address, name, data, status, texts))
                if not normal_consult_works(service.address):
                    problems.append(f"after {name}: a normal consult failed")
            problems += check_stop(service)
        finally:
            problems += service.stop()
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"{len(CASES) + 2} cases, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--service", required=True, help="the built brantwicker-service")
    program = os.path.abspath(parser.parse_args().service)
    outside = in_namespace()
    sys.exit(run(program) if outside is None else outside)
