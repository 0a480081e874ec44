#!/usr/bin/env python3
"""Hash-lookup clients against the real service, and its Bloom filter read by
independent readers: hashlookup_clients_test.py --service SERVICE"""
# A small client makes exactly the calls the hash-lookup Python library makes
# (GET lookup/<kind>/<h> and info under a root URL, POST bulk/<kind> with
# {"hashes": [...]}, the JSON read whatever the status), with a session
# header as scripts send it. The known SHA-1s are exported with export-bloom
# and read by flor (Debian's python3-flor, run by the system's Python) and by
# the bloom command (golang-github-dcso-bloom-cli): every digest is found,
# and of a million absent ones at most twice the stated rate. The served
# filter is the exported one, with validators; --bloom off serves none. Our
# own bulk takes 1000 SHA-256s. Runs in private namespaces; exits 77 (skip)
# where they cannot be made, unless CI is set.

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

ROOT = "http://127.0.0.1:80/"
FILES = 20_000
ABSENT = 1_000_000
P = 0.0001
SYSTEM_PYTHON = "/usr/bin/python3"  # where Debian's flor is installed

FLOR_CHECK = """
import sys, flor
bloom = flor.BloomFilter()
with open(sys.argv[1], "rb") as f:
    bloom.read(f)
present = [line.strip().encode() for line in open(sys.argv[2])]
absent = [line.strip().encode() for line in open(sys.argv[3])]
print(sum(v in bloom for v in present), sum(v in bloom for v in absent))
"""


def sha1_of(i: int) -> str:
    return hashlib.sha1(b"file %d" % i).hexdigest()


def md5_of(i: int) -> str:
    return hashlib.md5(b"file %d" % i).hexdigest()


class HashlookupClient:
    """The calls the hash-lookup library makes, as it makes them."""

    def __init__(self, root_url: str, session: str | None = None):
        self.root_url = root_url
        self.headers = {"hashlookup_session": session} if session else {}

    def _call(self, path: str, body: dict | None = None):
        data = json.dumps(body).encode() if body is not None else None
        headers = dict(self.headers, **({"Content-Type": "application/json"} if data else {}))
        request = urllib.request.Request(self.root_url + path, data, headers,
                                         method="POST" if data else "GET")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(request, timeout=10) as reply:
                return reply.status, reply.headers, json.loads(reply.read())
        except urllib.error.HTTPError as reply:
            return reply.code, reply.headers, json.loads(reply.read())

    def md5_lookup(self, h): return self._call(f"lookup/md5/{h}")
    def sha1_lookup(self, h): return self._call(f"lookup/sha1/{h}")
    def sha256_lookup(self, h): return self._call(f"lookup/sha256/{h}")
    def md5_bulk_lookup(self, hashes): return self._call("bulk/md5", {"hashes": hashes})
    def sha1_bulk_lookup(self, hashes): return self._call("bulk/sha1", {"hashes": hashes})
    def info(self): return self._call("info")


def fetch(path: str, headers: dict | None = None, body: bytes | None = None):
    request = urllib.request.Request(ROOT + path.lstrip("/"), body, headers or {},
                                     method="POST" if body is not None else "GET")
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=30) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as reply:
        return reply.code, reply.headers, reply.read()


def check_readers(program: str, workdir: str, database: str) -> list[str]:
    problems = []
    exported = os.path.join(workdir, "known.bloom")
    done = subprocess.run([program, "export-bloom", database, exported, "--fp", str(P)],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        return [f"export-bloom: {done.returncode} {done.stderr}"]
    present = "\n".join(sha1_of(i).upper() for i in range(FILES)) + "\n"
    absent = "\n".join(hashlib.sha1(b"absent %d" % i).hexdigest().upper() for i in range(ABSENT)) + "\n"
    for name, text in (("present", present), ("absent", absent)):
        with open(os.path.join(workdir, name), "w") as out:
            out.write(text)
    limit = 2 * P * ABSENT

    found = {}
    for name, text in (("present", present), ("absent", absent)):
        checked = subprocess.run(["bloom", "check", exported], input=text, capture_output=True,
                                 text=True, timeout=120)
        if checked.returncode != 0:
            problems.append(f"bloom check: {checked.returncode} {checked.stderr}")
        found[name] = len(checked.stdout.split())
    if found != {"present": FILES, "absent": found["absent"]} or found["absent"] > limit:
        problems.append(f"bloom check found {found}; wanted all {FILES}, at most {limit:.0f} absent")
    print(f"bloom: {found['absent']} of {ABSENT} absent digests reported present")

    flor = subprocess.run([SYSTEM_PYTHON, "-c", FLOR_CHECK, exported,
                           os.path.join(workdir, "present"), os.path.join(workdir, "absent")],
                          capture_output=True, text=True, timeout=180)
    if flor.returncode != 0:
        problems.append(f"flor: {flor.returncode} {flor.stderr[-500:]}")
    else:
        hits, false_hits = map(int, flor.stdout.split())
        if hits != FILES or false_hits > limit:
            problems.append(f"flor found {hits} of {FILES}, {false_hits} absent")
        print(f"flor: {false_hits} of {ABSENT} absent digests reported present")
    return problems


def check_clients() -> list[str]:
    problems = []

    def expect(what, got, wanted):
        if got != wanted:
            problems.append(f"{what}: {got!r}, wanted {wanted!r}")

    client = HashlookupClient(ROOT, session="case-1")
    status, headers, _ = fetch("session/create/case-1")
    expect("session create", status, 200)
    status, headers, record = client.sha1_lookup(sha1_of(7))
    expect("known SHA-1", (status, record.get("SHA-1"), record.get("MD5"), record.get("FileName")),
           (200, sha1_of(7).upper(), md5_of(7).upper(), "file-7"))
    expect("content type", headers.get("Content-Type"), "application/json")
    status, headers, record = client.md5_lookup(md5_of(8).upper())
    expect("known MD5", (status, record.get("SHA-1")), (200, sha1_of(8).upper()))
    status, headers, record = client.sha1_lookup("ab" * 20)
    expect("unknown SHA-1", (status, record), (404, {"message": "Non existing SHA-1", "query": "ab" * 20}))
    expect("content type of a miss", headers.get("Content-Type"), "application/json")
    status, _, record = client.sha256_lookup("zz")
    expect("malformed SHA-256", status, 400)
    status, _, records = client.sha1_bulk_lookup([sha1_of(1), "ab" * 20, "x", sha1_of(2)])
    expect("bulk", (status, [r["SHA-1"] for r in records]), (200, [sha1_of(1).upper(), sha1_of(2).upper()]))
    status, _, records = client.md5_bulk_lookup([md5_of(3)])
    expect("bulk MD5", (status, [r["MD5"] for r in records]), (200, [md5_of(3).upper()]))
    status, _, info = client.info()
    expect("info", (status, info.get("hashlookup-version"), info.get("stat:hashlookup_total_keys")),
           (200, "1.2", FILES))
    status, _, session = fetch("session/get/case-1")
    expect("session", (status, json.loads(session)),
           (200, {"nx": ["AB" * 20], "exist": sorted([sha1_of(7).upper(), md5_of(8).upper()]),
                  "info": ""}))

    # Our own bulk takes as many SHA-256s as it may ask about, and no body
    # past its bound.
    digests = [hashlib.sha256(b"%d" % i).hexdigest() for i in range(1000)]
    status, _, _ = fetch("/api/v1/bulk/sha256", body=json.dumps(digests, indent=4).encode())
    expect("1000 SHA-256s in our bulk", status, 200)
    status, _, _ = fetch("/api/v1/bulk/sha256", body=b"[" + b" " * 200_000 + b"]")
    expect("a bulk body past the bound", status, 413)
    return problems


def check_served(exported: bytes) -> list[str]:
    problems = []
    status, headers, served = 503, {}, b""
    for _ in range(100):  # made by a thread of its own at start
        status, headers, served = fetch("/bloom/known-sha1.bloom")
        if status != 503:
            break
        time.sleep(0.1)
    if (status, served == exported) != (200, True):
        problems.append(f"served filter: {status}, {len(served)} bytes, the same as exported: "
                        f"{served == exported}")
    etag, modified = headers.get("ETag"), headers.get("Last-Modified")
    if not etag or not modified or not modified.endswith(" GMT"):
        problems.append(f"validators: {etag!r} {modified!r}")
    status, _, body = fetch("/bloom/known-sha1.bloom", {"If-None-Match": etag or ""})
    if (status, body) != (304, b""):
        problems.append(f"unchanged filter asked again: {status}, {len(body)} bytes")
    return problems


def run(program: str) -> int:
    if shutil.which("bloom") is None or subprocess.run(
            [SYSTEM_PYTHON, "-c", "import flor"], capture_output=True).returncode != 0:
        return cannot_test("the bloom command or python3-flor is missing "
                           "(scripts/install-test-deps.sh installs them)")
    problems = []
    with tempfile.TemporaryDirectory(prefix="hashlookup-") as workdir:
        lines = [b'"SHA-1","MD5","CRC32","FileName","FileSize","ProductCode","OpSystemCode","SpecialCode"']
        lines += [f'"{sha1_of(i).upper()}","{md5_of(i).upper()}","00000000","file-{i}",{i},1,"",""'.encode()
                  for i in range(FILES)]
        service = RealService(program, workdir, lines, import_args=("--format", "nsrl", "--source", "NSRL"))
        try:
            problems += check_readers(program, workdir, service.database)
            problems += check_clients()
            with open(os.path.join(workdir, "known.bloom"), "rb") as exported:
                problems += check_served(exported.read())
            problems += service.stop()
            service = RealService(program, workdir, None, serve_args=("--bloom", "off"))
            status, headers, body = fetch("/bloom/known-sha1.bloom")
            if status != 404 or headers.get("Content-Type") != "application/json":
                problems.append(f"--bloom off: {status} {body[:100]!r}")
        finally:
            problems += service.stop()
    print(*(f"FAIL: {problem}" for problem in problems), f"{len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    outside = in_namespace()
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
