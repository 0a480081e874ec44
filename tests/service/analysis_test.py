#!/usr/bin/env python3
"""Uploads analysed in depth, against the running service, a real clamd and
rules this test writes: analysis_test.py SERVICE"""
# Archives are made at test time with Debian's zip, 7z and bsdtar. Each case
# uploads through the API and checks the record the service answers with,
# the records of the members, and what /api/v1/info and /metrics say of the
# rules. Exits 77 (skip) where namespaces, clamd or an archiver are missing,
# unless CI is set.

import hashlib
import http.client
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_clamd import UNOFFICIAL, RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

MARK = b"YARA-TEST-MARK"
NOTE = b"YARA-TEST-NOTE"
FRESH = b"YARA-TEST-FRESH"
BAD_MEMBER = b"a member clamd knows by its digest\n"
BAD_SIGNATURE = "Brantwicker.Test.Member-1"
EXTRACT_FILES = 20
EXTRACT_BYTES = 8 << 20
SCAN_MAX = 4 << 20
# What one upload may add to the service's peak memory, stated in the
# documentation: the upload, the unpacked bytes in flight and a margin for
# the libraries' own buffers.
MEMORY_BOUND = SCAN_MAX + 2 * EXTRACT_BYTES + (32 << 20)

RULES = {
    "marks.yar": 'rule Marked : bad x86 { meta: description = "a test mark" author = "the test"'
                 ' strings: $a = "YARA-TEST-MARK" condition: $a }\n'
                 'rule Noted : info { strings: $n = "YARA-TEST-NOTE" condition: $n }\n',
    "broken.yar": "rule Broken { condition: no_such_thing }\n",
    # Quadratic in the file's size: nothing on a small file, far past the
    # time-out on a large one.
    "slow.yara": "rule Slow { condition: for all i in (0..filesize) : "
                 "(for all j in (0..filesize) : (uint8(i) != 0x100)) }\n",
}


def request(method: str, target: str, body: bytes | None = None, port: int = 80) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request(method, target, body=body)
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    return reply.status, data


def upload(data: bytes, name: str, password: str | None = None) -> dict:
    query = {"name": name} | ({"password": password} if password is not None else {})
    status, body = request("POST", "/api/v1/scan?" + urllib.parse.urlencode(query), data)
    if status != 200:
        raise AssertionError(f"upload of {name}: status {status}: {body[:300]!r}")
    return json.loads(body)


def record(data: bytes) -> dict | None:
    status, body = request("GET", "/api/v1/md5/" + hashlib.md5(data).hexdigest())
    return json.loads(body) if status == 200 else None


def info() -> dict:
    return json.loads(request("GET", "/api/v1/info")[1])


def archive(workdir: str, tool: list[str], name: str, members: dict[str, bytes]) -> bytes:
    """Makes an archive of `members` with a Debian tool run in a folder of its own."""
    folder = tempfile.mkdtemp(dir=workdir)
    for path, content in members.items():
        os.makedirs(os.path.dirname(os.path.join(folder, path)) or folder, exist_ok=True)
        with open(os.path.join(folder, path), "wb") as out:
            out.write(content)
    target = os.path.join(workdir, name)
    if os.path.exists(target):
        os.unlink(target)
    subprocess.run([*tool, target, *members], cwd=folder, check=True, capture_output=True)
    with open(target, "rb") as made:
        return made.read()


def member(tree: list, *path: str) -> dict:
    for name in path[:-1]:
        tree = next(m for m in tree if m["name"] == name)["members"]
    return next(m for m in tree if m["name"] == path[-1])


class Run:
    def __init__(self, workdir: str, service: RealService, rules: str):
        self.workdir, self.service, self.rules = workdir, service, rules
        self.problems: list[str] = []

    def expect(self, name: str, holds: bool, what) -> None:
        if not holds:
            self.problems.append(f"{name}: {what}")

    def scans(self) -> int:
        return info()["scans"]

    def yara_and_types(self) -> None:
        marked = b"begin " + MARK + b" end\n"
        got = upload(marked, "marked.txt")
        yara = [s for s in got["scans"] if s["engine"] == "YARA"]
        rule_set = info()["scanner"]["yara"]["rule_set"]
        self.expect("marked", got["verdict"] == "bad" and got["label"] == "YARA:Marked", got)
        self.expect("marked", len(yara) == 1 and yara[0]["signature_version"] == rule_set, yara)
        self.expect("marked", yara and yara[0]["matches"] == [
            {"rule": "Marked", "namespace": "marks.yar", "tags": ["bad", "x86"],
             "description": "a test mark", "author": "the test"}], yara)
        self.expect("marked", got["mime"] == "text/plain" and "text" in got["type"], got)
        self.expect("marked", got["ssdeep"] and got["ssdeep"].count(":") == 2, got)
        before = self.scans()
        again = upload(marked, "again.txt")
        self.expect("the same file again", self.scans() == before and again["verdict"] == "bad",
                    f"{self.scans() - before} scans added")
        self.expect("the same file again", (again["mime"], again["ssdeep"]) == (got["mime"], got["ssdeep"]),
                    again)
        noted = upload(b"a " + NOTE + b"\n", "noted.txt")
        yara = [s for s in noted["scans"] if s["engine"] == "YARA"]
        self.expect("info rule", noted["verdict"] == "unknown" and yara and yara[0]["result"] == "clean"
                    and [m["rule"] for m in yara[0]["matches"]] == ["Noted"], noted)
        status, page = request("GET", got["report"])
        self.expect("report page", status == 200 and all(
            text in page for text in (b"Rule <strong>Marked</strong> of marks.yar", b"a test mark",
                                      b"(by the test)", b"text/plain", got["ssdeep"].encode())),
            page[-1500:])

    def rule_errors(self) -> None:
        yara = info()["scanner"]["yara"]
        self.expect("rule errors", yara["files"] == 2 and [e["file"] for e in yara["left_out"]]
                    == ["broken.yar"] and "no_such_thing" in yara["left_out"][0]["error"], yara)
        metrics = request("GET", "/metrics", port=9100)[1]
        self.expect("rule errors metric", b'brantwicker_yara_rule_files{state="left_out"} 1' in metrics
                    and b'brantwicker_yara_rule_files{state="compiled"} 2' in metrics, metrics[-600:])
        self.expect("rule errors logged", "broken.yar left out" in self.service.log(),
                    self.service.log()[-500:])

    def slow_rule(self) -> None:
        large = random.Random(1).randbytes(300_000)
        started = time.monotonic()
        got = upload(large, "large.bin")
        took = time.monotonic() - started
        faults = {f["analyser"]: f["detail"] for f in got["faults"]}
        engines = [s["engine"] for s in got["scans"]]
        self.expect("slow rule", "timed out" in faults.get("YARA", "") and engines == ["ClamAV"]
                    and took < 20, (faults, engines, took))
        status, page = request("GET", got["report"])
        self.expect("slow rule report", b"Not analysed" in page and b"YARA: timed out" in page,
                    page[-800:])

    def reload(self) -> None:
        before = info()["scanner"]["yara"]["rule_set"]
        with open(os.path.join(self.rules, "fresh.yar"), "w") as rule:
            rule.write('rule Fresh { strings: $f = "YARA-TEST-FRESH" condition: $f }\n')
        now = self.hangup(lambda yara: yara["rule_set"] != before)
        got = upload(FRESH, "fresh.txt")
        self.expect("reloaded", now["files"] == 3 and got["label"] == "YARA:Fresh", (now, got["label"]))
        # Under the new set a file is matched again, clamd is not asked again.
        again = upload(b"begin " + MARK + b" end\n", "marked.txt")
        self.expect("rematched", [s["engine"] for s in again["scans"]].count("YARA") == 2
                    and [s["engine"] for s in again["scans"]].count("ClamAV") == 1, again["scans"])
        for name in ("marks.yar", "slow.yara", "fresh.yar"):
            with open(os.path.join(self.rules, name), "w") as rule:
                rule.write("rule { broken\n")
        kept = self.hangup(lambda yara: len(yara["left_out"]) == 4)
        got = upload(FRESH + b" twice", "fresh2.txt")
        self.expect("nothing compiles", kept["rule_set"] == now["rule_set"]
                    and got["label"] == "YARA:Fresh", (kept, got["label"]))

    def hangup(self, done) -> dict:
        self.service.signal(signal.SIGHUP)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            yara = info()["scanner"]["yara"]
            if done(yara):
                return yara
            time.sleep(0.1)
        self.problems.append(f"SIGHUP: the rules were not compiled again: {yara}")
        return yara

    def archives(self) -> None:
        inner = archive(self.workdir, ["zip", "-q"], "inner.zip", {"deep/marked.txt": MARK})
        outer_members = {"readme.txt": b"nothing to see\n", "bin/bad.exe": BAD_MEMBER,
                         "inner.zip": inner}
        outer = archive(self.workdir, ["zip", "-qr"], "outer.zip", outer_members)
        got = upload(outer, "outer.zip")
        tree = got["members"]
        bad = member(tree, "bin/bad.exe")
        deep = member(tree, "inner.zip", "deep/marked.txt")
        self.expect("zip", got["verdict"] == "bad" and got["label"] ==
                    f"contains bin/bad.exe: {BAD_SIGNATURE}{UNOFFICIAL}", got["label"])
        self.expect("zip tree", [m["name"] for m in tree] == ["readme.txt", "bin/bad.exe", "inner.zip"]
                    and bad["verdict"] == "bad" and member(tree, "readme.txt")["verdict"] == "unknown"
                    and member(tree, "inner.zip")["verdict"] == "bad"
                    and deep["verdict"] == "bad" and deep["label"] == "YARA:Marked", tree)
        held = record(BAD_MEMBER)
        self.expect("member's own record", held and held["names"] == ["bin/bad.exe"]
                    and held["parents"] == [{"md5": hashlib.md5(outer).hexdigest(),
                                             "sha1": hashlib.sha1(outer).hexdigest(),
                                             "name": "bin/bad.exe", "report": got["report"]}], held)
        status, page = request("GET", got["report"])
        self.expect("zip report", status == 200 and b"Members" in page and b"deep/marked.txt" in page
                    and b"YARA:Marked" in page, page[-1500:])
        status, page = request("GET", held["report"])
        self.expect("member report", b"Found in" in page and got["report"].encode() in page, page[-800:])

        secret = {"secret.txt": b"inside " + MARK}
        for tool, name in ((["7z", "a"], "plain.7z"), (["zip", "-q", "-P", "infected"], "infected.zip")):
            got = upload(archive(self.workdir, tool, name, secret), name)
            self.expect(name, member(got["members"], "secret.txt").get("verdict") == "bad", got)
        # libarchive reads no encrypted 7z: listed as such, never skipped silently.
        seven = archive(self.workdir, ["7z", "a", "-pinfected"], "infected.7z", secret)
        got = upload(seven, "infected.7z")
        self.expect("infected.7z", member(got["members"], "secret.txt").get("skipped", "")
                    .startswith("encrypted"), got)
        mine = archive(self.workdir, ["zip", "-q", "-P", "s3cret"], "mine.zip",
                       {"mine.txt": b"only with the password " + MARK})
        without = upload(mine, "mine.zip")
        self.expect("wrong password", member(without["members"], "mine.txt").get("skipped", "")
                    .startswith("encrypted") and without["verdict"] == "unknown", without)
        given = upload(mine, "mine.zip", password="s3cret")
        self.expect("given password", member(given["members"], "mine.txt").get("verdict") == "bad"
                    and given["verdict"] == "bad", given["members"])

        tarred = archive(self.workdir, ["bsdtar", "-czf"], "files.tar.gz",
                         {f"f{i}.txt": b"file %d\n" % i for i in range(EXTRACT_FILES + 5)})
        got = upload(tarred, "files.tar.gz")
        names = [m["name"] for m in got["members"]]
        listed = [m for m in got["members"] if m["name"].startswith("f")]
        skipped = [m for m in listed if m.get("skipped", "").startswith("file bound")]
        self.expect("file bound", len(listed) == EXTRACT_FILES + 5 and len(skipped) == 5, names)

        nest = MARK
        for level in range(4):
            nest = archive(self.workdir, ["zip", "-q"], f"level{level}.zip", {f"l{level}": nest})
        got = upload(nest, "nest.zip")
        deepest = member(got["members"], "l3", "l2", "l1")
        self.expect("depth bound", member(deepest["members"], "l0").get("skipped") == "depth bound",
                    got["members"])

    def memory(self) -> None:
        # A member that unpacks far past --extract-max-bytes, from a small zip.
        zeros = archive(self.workdir, ["zip", "-q", "-9"], "zeros.zip",
                        {"zeros.bin": bytes(64 << 20)})
        base = self.peak()
        got = upload(zeros, "zeros.zip")
        grown = self.peak() - base
        skip = member(got["members"], "zeros.bin").get("skipped", "")
        self.expect("memory", grown < MEMORY_BOUND and skip.split(":")[0] in ("byte bound", "bomb"),
                    (grown, skip))

    def peak(self) -> int:
        with open(f"/proc/{self.service.pid}/status") as status:
            line = next(line for line in status if line.startswith("VmHWM:"))
        return int(line.split()[1]) * 1024


def run(program: str) -> int:
    for tool in ("zip", "7z", "bsdtar"):
        if not shutil.which(tool):
            return cannot_test(f"{tool} is missing (zip, p7zip-full, libarchive-tools)")
    with tempfile.TemporaryDirectory(prefix="analysis-") as workdir:
        rules = os.path.join(workdir, "rules")
        os.makedirs(rules)
        for name, text in RULES.items():
            with open(os.path.join(rules, name), "w") as rule:
                rule.write(text)
        clamd = RealClamd(workdir, {BAD_SIGNATURE: BAD_MEMBER}, 2 * SCAN_MAX)
        service, problems = None, []
        try:
            service = RealService(program, workdir, [], serve_args=(
                "--clamd", clamd.link, "--scan-max-bytes", str(SCAN_MAX), "--scan-jobs", "2",
                "--yara-rules", rules, "--yara-timeout", "1", "--extract-depth", "3",
                "--extract-max-files", str(EXTRACT_FILES), "--extract-max-bytes", str(EXTRACT_BYTES),
                "--threads", "2", "--metrics-listen", "127.0.0.1:9100"))
            checks = Run(workdir, service, rules)
            for behaviour in (checks.yara_and_types, checks.rule_errors, checks.slow_rule,
                              checks.archives, checks.memory, checks.reload):
                try:
                    behaviour()
                except (AssertionError, KeyError, StopIteration, TypeError) as failed:
                    checks.problems.append(f"{behaviour.__name__}: {failed!r}")
            problems = checks.problems
        finally:
            problems += service.stop() if service else []
            clamd.stop()
            if problems and service:
                problems.append(f"the service's log ends:\n{service.log()[-2000:]}")
    print(*(f"FAIL: {problem}" for problem in problems), f"{len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    outside = in_namespace() if clamd_program() else cannot_test(
        "the Debian package clamav-daemon is missing")
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
