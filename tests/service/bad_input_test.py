#!/usr/bin/env python3
"""Bad input against the running service: bad_input_test.py --service SERVICE"""
# The service runs with a short read time-out and a small bound on
# connections. Each case sends something a careless or hostile client might,
# and must get its one clear answer or a clean close (never a reset, never a
# hang); after every case a normal consult must still succeed. Exits 77 (skip)
# where namespaces cannot be made, unless CI is set.

import contextlib
import os
import resource
import signal
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_service import RealService, in_namespace  # noqa: E402

ADDRESS = ("127.0.0.1", 80)  # where RealService listens
READ_TIMEOUT = 2       # seconds, given to the service
MAX_CONNECTIONS = 300  # given to the service
CROWD = 500            # connections opened at once
WAIT = 8.0             # the longest any answer may take

HELD = "0123456789abcdef0123456789abcdef"
HOSTILE_NAME = "<img src=x onerror=alert(1)> \"quoted\" 'single' & more.bin"
REPORT = f"/qn/en/report/{HELD}/quellarion-brantwicker-file-report.html"


def consult(digest: str, length: int | None = None) -> bytes:
    # As the program sends it.
    body = f"hash={digest}&x=166&y=22".encode()
    return (b"POST /qn/en/consultamd5 HTTP/1.0\r\nHost: service.test\r\nUser-Agent: "
            b"el.Agent [by el.Quo]\r\nContent-Length: %d\r\n\r\n" % (length or len(body))) + body


def ask(target: str, headers: bytes = b"", body: bytes = b"") -> bytes:
    # A GET, or a POST when there is a body.
    return (b"%s %s HTTP/1.1\r\nHost: service.test\r\nConnection: close\r\n%sContent-Length: %d"
            b"\r\n\r\n%s" % (b"POST" if body else b"GET", target.encode(), headers, len(body), body))


def connect() -> socket.socket:
    return socket.create_connection(ADDRESS, timeout=WAIT)


def talk(data: bytes, sock: socket.socket | None = None) -> tuple[int | None, bytes, str]:
    # Sends from another thread while reading every reply byte here, so an
    # early answer is read before the sender is stopped. Returns the reply's
    # status, the reply, and how the connection ended: "eof" when the service
    # closed it cleanly.
    sock = sock or connect()

    def send() -> None:
        with contextlib.suppress(OSError):  # the service stopped reading: its answer says why
            sock.sendall(data)
    threading.Thread(target=send, daemon=True).start()
    received, end = b"", "eof"
    try:
        while chunk := sock.recv(65536):
            received += chunk
    except (ConnectionResetError, TimeoutError) as error:
        end = type(error).__name__
    sock.close()
    head = received.split(b" ", 2)
    status = int(head[1]) if len(head) > 2 and head[0].startswith(b"HTTP/1.") else None
    return status, received, end


BULK = "/api/v1/bulk/md5"
# name, bytes sent, the status expected (None: closed without a word), and
# texts the reply must hold.
NORMAL = ("normal consult", consult(HELD), 303, [f'located <a href="{REPORT}">'.encode()])
CASES = [
    ("nothing sent", b"", None, []),
    ("half a request line", b"GET /buscaHash.html HT", 408, []),
    ("headers never ended", b"GET / HTTP/1.1\r\nHost: s\r\n", 408, []),
    ("body shorter than its length", consult(HELD, 60), 408, []),
    ("10 MB body", ask(BULK, body=b"[" * 10_000_000), 413, []),
    ("100 KB header block", ask("/", b"X-Filler: " + b"a" * 100_000 + b"\r\n"), 431, []),
    # Lines so short that each read ends a few bytes into one at most: the
    # parser takes them as they come, its own bound (on what it has not yet
    # parsed) never fills, and only the service's count of the whole block
    # stops them. Where reads end follows from the bytes before the lines:
    # with ask's Host shorter by 11 the parser alone would refuse them.
    ("many small headers", ask("/", b"X:\r\n" * 4000), 431, []),
    ("not HTTP", b"\x00\x01\x02\xff junk\r\n\r\n", 400, []),
    ("bad content length", b"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400, []),
    ("consult without body", b"POST /qn/en/consultamd5 HTTP/1.0\r\n\r\n", 400, [b"no hash"]),
    ("hash too short", consult(HELD[:-1]), 400, []),
    ("hash too long", consult(HELD + "0"), 400, []),
    ("hash not hex", consult(HELD[:-1] + "z"), 400, []),
    ("api digest not hex", ask("/api/v1/md5/" + "g" * 32), 400, []),
    ("bulk nested deep", ask(BULK, body=b"[" * 60_000), 400, []),
    ("bulk of 1001", ask(BULK, body=("[" + ",".join([f'"{HELD}"'] * 1001) + "]").encode()), 400,
     [b"at most 1000"]),
    ("name with markup and quotes", ask(REPORT), 200,
     [b"&lt;img src=x onerror=alert(1)&gt; &quot;quoted&quot; &#39;single&#39; &amp; more.bin",
      b"\r\nContent-Security-Policy: default-src 'none';"]),
    ("dot-dot in a report path", ask("/qn/en/report/../../../../etc/passwd"), 404, []),
    ("escaped dot-dot", ask("/%2e%2e/%2e%2e/etc/passwd"), 404, []),
    ("unknown method", b"BREW /buscaHash.html HTTP/1.1\r\nHost: s\r\n\r\n", 405, []),
]
# In no reply at all: the held name unescaped, or a file from outside the store.
NEVER = [b"<img", b'"quoted"', b"root:"]


def check_case(name: str, data: bytes, status: int | None, texts: list[bytes]) -> list[str]:
    started = time.monotonic()
    got, reply, end = talk(data)
    took = time.monotonic() - started
    checks = [
        (got == status, f"status {got}, wanted {status}: {reply[:200]!r}"),
        (end == "eof", f"the connection ended by {end}, not a clean close"),
        (status not in (None, 408) or READ_TIMEOUT - 0.5 <= took <= READ_TIMEOUT + 3,
         f"cut after {took:.1f} s, wanted about {READ_TIMEOUT} s"),
    ]
    checks += [(text in reply, f"lacks {text!r}") for text in texts]
    checks += [(text not in reply, f"has {text!r}") for text in NEVER]
    return [f"{name}: {problem}" for holds, problem in checks if not holds]


def check_crowd() -> list[str]:
    # CROWD connections at once, all open before any sends its consult: the
    # first MAX_CONNECTIONS get 303, the rest 503 (or a close without a word);
    # none is reset and none hangs.
    admitted = [connect() for _ in range(MAX_CONNECTIONS)]
    time.sleep(0.5)  # all taken in by the service before the rest arrive
    turned_away = [connect() for _ in range(CROWD - MAX_CONNECTIONS)]
    time.sleep(0.5)  # and these refused while the first are still open
    for sock in admitted + turned_away:
        sock.sendall(NORMAL[1])
    first, rest = ({(status, end) for status, _, end in (talk(b"", sock) for sock in group)}
                   for group in (admitted, turned_away))
    wrong = first != {(303, "eof")} or rest - {(503, "eof"), (None, "eof")}
    return [f"crowd: the first {MAX_CONNECTIONS} saw {first}, the rest {rest}"] if wrong else []


def check_stop(service: RealService) -> list[str]:
    # SIGTERM with a consult half sent and a connection idle: the listener
    # closes, the idle connection is closed, the half-sent consult is still
    # answered once its rest arrives, and the service then ends by itself.
    busy, idle = connect(), connect()
    busy.sendall(NORMAL[1][:20])
    time.sleep(0.2)
    service.signal(signal.SIGTERM)
    time.sleep(0.3)
    accepts = socket.socket().connect_ex(ADDRESS) == 0
    idle_got = talk(b"", idle)
    status, reply, end = talk(NORMAL[1][20:], busy)
    return [f"stopping: {problem}" for holds, problem in (
        (not accepts, "still accepts connections"),
        (idle_got == (None, b"", "eof"), f"the idle connection got {idle_got}"),
        ((status, end) == (303, "eof"), f"the request in flight got {reply[:100]!r}, {end}"),
        (service.ended(within=3), "the service did not end once its requests were done"),
    ) if not holds]


def run(program: str) -> int:
    # The crowd needs a descriptor per connection at both ends.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4 * CROWD), hard))
    with tempfile.TemporaryDirectory(prefix="bad-input-") as workdir:
        # The list's bad lines are skipped, and the operator told where the
        # first ten are and how many more there were.
        lines = [f"{HELD}  {HOSTILE_NAME}".encode()] + [b"not a digest line"] * 12
        service = RealService(program, workdir, lines, serve_args=(
            "--read-timeout", str(READ_TIMEOUT), "--max-connections", str(MAX_CONNECTIONS),
            "--threads", "2"))
        skipped = "".join(f"{workdir}/store.md5:{line}: skipped: no MD5 digest at the start\n"
                          for line in range(2, 12)) + f"{workdir}/store.md5: 2 more lines skipped\n"
        problems = [] if service.import_said == skipped else [f"import: {service.import_said!r}"]
        try:
            for case in CASES + [("crowd", None, None, None)]:
                problems += check_crowd() if case[1] is None else check_case(*case)
                problems += check_case(f"after {case[0]}: {NORMAL[0]}", *NORMAL[1:])
            problems += check_stop(service)
        finally:
            problems += service.stop()
    print(*(f"FAIL: {problem}" for problem in problems),
          f"{len(CASES) + 2} cases, {len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    outside = in_namespace()
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
