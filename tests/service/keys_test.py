#!/usr/bin/env python3
"""Who may upload, against the running service and a real clamd: keys_test.py SERVICE"""
# First with a keys file and a bound per key: uploads by the API and by the
# form with keys right, wrong and missing (a refused upload leaves nothing
# stored), look-ups and the program's consult open without a key, the bound
# per key, the uploads counted by key name, the keys read again on SIGHUP,
# and never a key in the service's log. Then without keys: the bound per
# address, and no counts by address. Last, keys files the service refuses to
# start with. Exits 77 (skip) where namespaces or clamd are missing, unless
# CI is set.

import contextlib
import hashlib
import json
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from bad_input_test import HELD, consult, talk  # noqa: E402
from real_clamd import RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

BOUNDARY = "----bwk-key-boundary"
API = "/api/v1/scan"
PER_MINUTE = 3
KEYS = {"alice": "alice-7Yq2-upload-key", "bob": "bob-Lk93-upload-key",
        "carol": "carol-Zw55-upload-key", "dave": "dave-Qe01-upload-key",
        "erin": "erin-Vb62-upload-key", "frank": "frank-Hd47-upload-key"}
WRONG = "mallory-guessed-key"
OPERATOR = "http://127.0.0.1:9100"
READ_TIMEOUT = 2  # seconds, given to the service


def keys_file(path: str, names: list[str]) -> None:
    with open(path, "w") as out:
        out.write("# who may upload\n\n")
        for name in names:
            out.write(f"{name}  {hashlib.sha256(KEYS[name].encode()).hexdigest()}  # {name}'s\n")


def bearer(name: str) -> bytes:
    return b"Authorization: Bearer %s\r\n" % KEYS[name].encode()


def post(target: str, body: bytes, content_type: str, headers: bytes = b"") -> bytes:
    return (b"POST %s HTTP/1.1\r\nHost: service.test\r\nConnection: close\r\nContent-Type: %s\r\n"
            b"%sContent-Length: %d\r\n\r\n" % (target.encode(), content_type.encode(), headers,
                                               len(body))) + body


def api(body: bytes, headers: bytes = b"", query: str = "") -> bytes:
    return post(API + query, body, "application/octet-stream", headers)


def form(fields: list[tuple[str, bytes]], headers: bytes = b"") -> bytes:
    body = b"".join(f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="{name}"'.encode()
                    + (b'; filename="f.bin"' if name == "file" else b"") + b"\r\n\r\n" + value + b"\r\n"
                    for name, value in fields) + f"--{BOUNDARY}--\r\n".encode()
    return post("/scan", body, f"multipart/form-data; boundary={BOUNDARY}", headers)


def fresh(seed: int) -> bytes:
    return random.Random(seed).randbytes(3000)


def from_address(source: str) -> socket.socket:
    sock = socket.socket()
    sock.settimeout(8)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", 80))
    return sock


def get(target: str) -> tuple[int | None, bytes]:
    code, reply, _ = talk(b"GET %s HTTP/1.1\r\nHost: s\r\nConnection: close\r\n\r\n" % target.encode())
    return code, reply


def stored(content: bytes) -> bool:
    return get("/api/v1/sha256/" + hashlib.sha256(content).hexdigest())[0] == 200


def metrics() -> str:
    with urllib.request.urlopen(OPERATOR + "/metrics", timeout=5) as reply:
        return reply.read().decode()


class Checks:
    def __init__(self) -> None:
        self.problems: list[str] = []
        self.seed = 0
        self.count = 0

    def expect(self, what: str, holds: bool, detail=None) -> None:
        self.count += 1
        if not holds:
            self.problems.append(f"{what}: {detail!r}" if detail is not None else what)

    def upload(self, what: str, make, status: int, texts: tuple[bytes, ...] = (),
               sock: socket.socket | None = None) -> bytes:
        """Sends a file never sent before, made into a request by `make`;
        the file must be stored exactly when the upload succeeded."""
        self.seed += 1
        content = fresh(self.seed)
        code, reply, _ = talk(make(content), sock)
        self.expect(f"{what}: status", code == status, (code, reply[:300]))
        for text in texts:
            self.expect(f"{what}: has {text!r}", text in reply, reply[:400])
        self.expect(f"{what}: stored {status in (200, 303)}", stored(content) == (status in (200, 303)))
        return reply


def with_keys(checks: Checks, service: RealService, keys_path: str) -> None:
    refused = (b"WWW-Authenticate: Bearer\r\n",)
    checks.upload("API, no key", lambda c: api(c), 401, refused + (b'"error"',))
    checks.upload("API, wrong key", lambda c: api(c, b"Authorization: Bearer %s\r\n" % WRONG.encode()),
                  401, refused + (b"not one this service knows",))
    checks.upload("API, key as Basic", lambda c: api(c, b"Authorization: Basic %s\r\n" % KEYS["alice"].encode()),
                  401, refused)
    checks.upload("API, key in the query", lambda c: api(c, query="?key=" + KEYS["carol"]), 401, refused)
    checks.upload("API, right key", lambda c: api(c, bearer("alice")), 200, (b'"md5"',))

    checks.upload("form, no key", lambda c: form([("file", c)]), 401, refused + (b"<!DOCTYPE html>",))
    checks.upload("form, wrong key", lambda c: form([("key", WRONG.encode()), ("file", c)]), 401,
                  (b"not one this service knows",))
    checks.upload("form, key after the file", lambda c: form([("file", c), ("key", KEYS["bob"].encode())]),
                  401)
    checks.upload("form, right key", lambda c: form([("key", KEYS["bob"].encode()), ("password", b""),
                                                     ("file", c)]), 303, (b"Location: /qn/en/report/",))
    checks.upload("form, key as a header", lambda c: form([("file", c)], bearer("bob")), 303)
    checks.upload("form behind a proxy's Basic", lambda c: form([("key", KEYS["bob"].encode()), ("file", c)],
                                                                b"Authorization: Basic cHJveHk6cHc=\r\n"), 303)

    # What comes before the file, sent a little at a time: the job waits
    # one read time-out for the key in all, not one for each piece.
    sock = socket.create_connection(("127.0.0.1", 80), timeout=10)
    sock.sendall(post("/scan", b"x" * 5000, f"multipart/form-data; boundary={BOUNDARY}")[:-5000]
                 + f'--{BOUNDARY}\r\nContent-Disposition: form-data; name="key"\r\n\r\n'.encode())
    started, reply = time.monotonic(), b""
    with contextlib.suppress(OSError):
        while not reply and time.monotonic() - started < 3 * READ_TIMEOUT:
            sock.sendall(b"k")
            if select.select([sock], [], [], 0.4)[0]:
                reply = sock.recv(4096)
    sock.close()
    checks.expect("a key sent slowly is cut off", reply.startswith(b"HTTP/1.1 408")
                  and time.monotonic() - started < 2 * READ_TIMEOUT, reply[:200])

    # Look-ups, the pages and the program's consult need no key.
    checks.expect("consult without a key", talk(consult(HELD))[0] == 303)
    checks.expect("look-up without a key", get("/api/v1/md5/" + HELD)[0] == 200)
    code, page = get("/")
    field = page.find(b'type="password" id="key" name="key"')
    checks.expect("the form asks for the key before the file",
                  code == 200 and 0 <= field < page.find(b'name="file"'), page[-800:])

    # A scan again asks for a key as an upload does, and takes a slot: the
    # report's button has a field for it.
    reply = checks.upload("frank's upload", lambda c: api(c, bearer("frank")), 200)
    sha256 = re.search(rb'"sha256":"([0-9a-f]{64})"', reply)[1].decode()
    md5 = re.search(rb'"md5":"([0-9a-f]{32})"', reply)[1].decode()
    code, page = get(f"/qn/en/report/{md5}")
    button = page.find(b"Scan again with today's signatures")
    checks.expect("the button asks for the key", code == 200 and
                  0 <= page.rfind(b'name="key"', 0, button) > page.rfind(b"<form", 0, button), page[-800:])
    again = f"/files/{sha256}/rescan"
    for what, body, status in (("no key", b"", 401), ("a wrong key", b"key=" + WRONG.encode(), 401),
                               ("frank's key", b"key=" + KEYS["frank"].encode(), 303)):
        code, reply, _ = talk(post(again, body, "application/x-www-form-urlencoded"))
        checks.expect(f"the button with {what}", code == status, reply[:300])
    code, reply, _ = talk(post("/api/v1" + again, b"", "application/octet-stream"))
    checks.expect("a scan again by the API without a key", code == 401, reply[:300])
    code, reply, _ = talk(post("/api/v1" + again, b"", "application/octet-stream", bearer("frank")))
    checks.expect("frank's scan again by the API", code == 202, reply[:300])
    code, reply, _ = talk(post("/api/v1" + again, b"", "application/octet-stream", bearer("frank")))
    checks.expect("frank past the bound, scanning again", code == 429, reply[:300])

    # Per key, from one address: alice's slots, then none; bob's are his own.
    checks.upload("alice's third", lambda c: api(c, bearer("alice")), 200)
    checks.upload("alice's third again", lambda c: api(c, bearer("alice")), 200)
    reply = checks.upload("alice past the bound", lambda c: api(c, bearer("alice")), 429,
                          (b"Too many uploads",))
    wait = re.search(rb"\r\nRetry-After: (\d+)\r\n", reply)
    checks.expect("Retry-After within the minute", wait and 1 <= int(wait[1]) <= 60, reply[:300])
    checks.upload("alice's form past the bound", lambda c: form([("key", KEYS["alice"].encode()),
                                                                 ("file", c)]), 429)
    checks.upload("bob past the bound", lambda c: form([("key", KEYS["bob"].encode()), ("file", c)]), 429)

    counted = metrics()
    for name, count in (("alice", PER_MINUTE), ("bob", PER_MINUTE)):
        checks.expect(f"uploads by {name}", f'brantwicker_uploads_by_key_total{{key="{name}"}} {count}\n'
                      in counted, [line for line in counted.splitlines() if "by_key" in line])
    checks.expect("no count by address", "127.0.0.1" not in counted)

    # An upload refused for every job being busy takes no slot: erin holds
    # both jobs, is refused once, and then still has her third.
    held = []
    for _ in range(2):
        held.append(socket.create_connection(("127.0.0.1", 80), timeout=10))
        held[-1].sendall(api(fresh(900), bearer("erin"))[:-1000])
    time.sleep(0.3)
    checks.upload("erin, every job busy", lambda c: api(c, bearer("erin")), 503)
    for sock in held:
        sock.close()
    time.sleep(0.3)
    checks.upload("erin's third", lambda c: api(c, bearer("erin")), 200)
    checks.upload("erin past the bound", lambda c: api(c, bearer("erin")), 429)

    # The keys read again: dave comes in, alice goes.
    keys_file(keys_path, ["bob", "dave"])
    service.signal(signal.SIGHUP)
    deadline = time.monotonic() + 5
    while "2 keys read" not in service.log() and time.monotonic() < deadline:
        time.sleep(0.05)
    checks.upload("dave after SIGHUP", lambda c: api(c, bearer("dave")), 200)
    checks.upload("alice after SIGHUP", lambda c: api(c, bearer("alice")), 401)
    # A file that no longer reads leaves the keys as they were.
    with open(keys_path, "w") as broken:
        broken.write(f"dave {KEYS['dave']}\n")
    service.signal(signal.SIGHUP)
    deadline = time.monotonic() + 5
    while "keys read before stay" not in service.log() and time.monotonic() < deadline:
        time.sleep(0.05)
    checks.expect("a broken file named on SIGHUP", f"{keys_path}:1:" in service.log(), service.log()[-600:])
    checks.upload("dave after a broken file", lambda c: api(c, bearer("dave")), 200)


def without_keys(checks: Checks) -> None:
    # Per address: 127.0.0.1 uses its two, 127.0.0.2 still has its own.
    checks.upload("first from one address", lambda c: api(c), 200)
    checks.upload("second, by the form", lambda c: form([("file", c)]), 303)
    checks.upload("third from one address", lambda c: api(c, bearer("alice")), 429,
                  (b"Retry-After: ", b"from one address"))
    checks.upload("another address", lambda c: api(c), 200, sock=from_address("127.0.0.2"))
    code, page = get("/")
    checks.expect("no key field without keys", code == 200 and b'name="key"' not in page)
    checks.expect("no counts by key or address", "uploads_by_key" not in metrics())


def refused_files(program: str, workdir: str, checks: Checks) -> None:
    good = f"alice {hashlib.sha256(b'k').hexdigest()}\n"
    for what, text, said in (
            ("the key itself", good + "\nbob my-raw-secret-key\n", ":3: "),
            ("a name twice", good * 2, ":2: "),
            ("no keys", "# nobody yet\n", ": no keys"),
            ("no file", None, ": cannot be read")):
        path = os.path.join(workdir, "bad-keys")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        if text is not None:
            with open(path, "w") as out:
                out.write(text)
        ran = subprocess.run([program, "serve", os.path.join(workdir, "store.db"), "--listen",
                              "127.0.0.1:0", "--api-keys", path], capture_output=True, text=True,
                             timeout=20)
        checks.expect(f"refused: {what}", ran.returncode == 2 and path + said in ran.stderr
                      and "my-raw-secret" not in ran.stderr, (ran.returncode, ran.stderr))


def run(program: str) -> int:
    with tempfile.TemporaryDirectory(prefix="keys-") as workdir:
        clamd = RealClamd(workdir, {}, 1 << 20)
        checks, service = Checks(), None
        keyed, open_dir = os.path.join(workdir, "keyed"), os.path.join(workdir, "open")
        os.makedirs(keyed)
        os.makedirs(open_dir)
        keys_path = os.path.join(workdir, "keys.txt")
        # carol's key is listed, and sent only in a query string.
        keys_file(keys_path, ["alice", "bob", "carol", "erin", "frank"])
        common = ("--clamd", clamd.link, "--threads", "2", "--scan-jobs", "2",
                  "--read-timeout", str(READ_TIMEOUT),
                  "--uploads-per-minute", str(PER_MINUTE), "--metrics-listen", "127.0.0.1:9100")
        try:
            for folder, extra, behaviour in (
                    (keyed, ("--api-keys", keys_path, "--samples", os.path.join(workdir, "samples")),
                     lambda s: with_keys(checks, s, keys_path)),
                    (open_dir, (), lambda s: without_keys(checks))):
                service = RealService(program, folder, [f"{HELD}  /held.bin".encode()],
                                      serve_args=(*common, *extra))
                # Without keys the bound is 2 a minute, so that the form's
                # upload is the last one.
                if not extra:
                    service.stop()
                    service = RealService(program, folder, None, serve_args=(
                        *common[:-4], "--uploads-per-minute", "2", *common[-2:]))
                try:
                    behaviour(service)
                finally:
                    checks.problems += service.stop()
                log = service.log()
                for name, key in (*KEYS.items(), ("wrong", WRONG)):
                    if name != "carol":  # sent in a query string, which is logged and refused
                        checks.expect(f"{name}'s key in the log", key not in log)
                if checks.problems:
                    checks.problems.append(f"the service's log ends:\n{log[-2000:]}")
                service = None
            refused_files(program, workdir, checks)
        finally:
            if service:
                service.stop()
            clamd.stop()
    print(*(f"FAIL: {problem}" for problem in checks.problems),
          f"{checks.count} checks, {len(checks.problems)} problems", sep="\n")
    return 1 if checks.problems else 0


if __name__ == "__main__":
    outside = in_namespace() if clamd_program() else cannot_test(
        "the Debian package clamav-daemon is missing")
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
