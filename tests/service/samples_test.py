#!/usr/bin/env python3
"""Uploads kept as samples, against the running service and a real clamd:
samples_test.py SERVICE"""
# With --samples every upload, by the API and by the form, is kept whole in
# zstd under its SHA-256 (read back with the zstd tool); the records and
# pages say so, an archive's members through it; the metrics count it. A
# folder that fails leaves the upload answered and counts a fault. The bounds
# drop the oldest. The service is killed (SIGKILL) while large uploads are
# being kept: no sample is left partial under its name, and once restarted
# the service drops what a crashed write left. Without --samples nothing is
# written; a folder that cannot be made stops the service at start. Exits 77 (skip) where namespaces, clamd, zip or zstd are missing,
# unless CI is set.

import concurrent.futures
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
import threading
import time
import urllib.parse
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_clamd import RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

SCAN_MAX = 8 << 20
# Older than the service's bound on a write in progress (15 minutes).
STALE = 3600
SERVE = ("--scan-max-bytes", str(SCAN_MAX), "--threads", "2", "--metrics-listen", "127.0.0.1:9100")


def request(method: str, target: str, body: bytes | None = None, port: int = 80,
            headers: dict | None = None) -> tuple[int, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request(method, target, body=body, headers=headers or {})
    reply = connection.getresponse()
    data = reply.read()
    connection.close()
    return reply.status, data


def upload(data: bytes, name: str) -> dict:
    status, body = request("POST", "/api/v1/scan?" + urllib.parse.urlencode({"name": name}), data)
    if status != 200:
        raise AssertionError(f"upload of {name}: status {status}: {body[:300]!r}")
    return json.loads(body)


def form_upload(data: bytes, name: str) -> int:
    boundary = uuid.uuid4().hex
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"{name}\"\r\n"
            f"Content-Type: application/octet-stream\r\n\r\n").encode() + data + \
        f"\r\n--{boundary}--\r\n".encode()
    return request("POST", "/scan", body,
                   headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})[0]


def record(data: bytes) -> dict:
    status, body = request("GET", "/api/v1/md5/" + hashlib.md5(data).hexdigest())
    if status != 200:
        raise AssertionError(f"record: status {status}")
    return json.loads(body)


def metrics() -> dict[str, float]:
    text = request("GET", "/metrics", port=9100)[1].decode()
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1])
            for line in text.splitlines() if line and not line.startswith("#")}


def sample_path(folder: str, data: bytes) -> str:
    hexed = hashlib.sha256(data).hexdigest()
    return os.path.join(folder, hexed[:2], hexed + ".zst")


def kept_files(folder: str) -> list[str]:
    return sorted(os.path.join(top, name) for top, _, names in os.walk(folder) for name in names
                  if name.endswith(".zst") and os.path.basename(top) != "tmp")


def unpacked(path: str) -> bytes | None:
    """What the zstd tool reads in `path`, or None when it says it is damaged."""
    done = subprocess.run(["zstd", "-dc", path], capture_output=True)
    return done.stdout if done.returncode == 0 else None


def archive(workdir: str, members: dict[str, bytes]) -> bytes:
    folder = tempfile.mkdtemp(dir=workdir)
    for name, content in members.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(content)
    subprocess.run(["zip", "-q", "made.zip", *members], cwd=folder, check=True)
    with open(os.path.join(folder, "made.zip"), "rb") as made:
        return made.read()


class Run:
    def __init__(self, program: str, workdir: str, clamd: RealClamd):
        self.program, self.workdir, self.clamd = program, workdir, clamd
        self.problems: list[str] = []

    def expect(self, name: str, holds: bool, what) -> None:
        if not holds:
            self.problems.append(f"{name}: {what}")

    def serve(self, workdir: str, *args: str, fresh: bool = True) -> RealService:
        return RealService(self.program, workdir, [] if fresh else None,
                           serve_args=("--clamd", self.clamd.link, *SERVE, *args))

    def folder(self, name: str) -> tuple[str, str]:
        workdir = os.path.join(self.workdir, name)
        os.makedirs(workdir)
        return workdir, os.path.join(workdir, "samples")

    def kept(self) -> None:
        workdir, folder = self.folder("kept")
        service = self.serve(workdir, "--samples", folder)
        try:
            plain = random.Random(1).randbytes(200_000) + b"\0" * 300_000
            got = upload(plain, "plain.bin")
            path = sample_path(folder, plain)
            self.expect("api upload kept", got["sample_kept"] and unpacked(path) == plain
                        and os.path.getsize(path) < len(plain), (got["sample_kept"], path))
            page = request("GET", got["report"])[1]
            self.expect("report page", b"Sample kept" in page, page[-800:])

            by_form = b"sent by the form\n"
            status = form_upload(by_form, "form.txt")
            self.expect("form upload kept", status == 303 and unpacked(sample_path(folder, by_form))
                        == by_form and record(by_form)["sample_kept"], status)

            inside = b"a member, kept only inside its archive\n"
            zipped = archive(workdir, {"inside.txt": inside, "other.txt": b"another one\n"})
            got = upload(zipped, "made.zip")
            member = record(inside)
            self.expect("member kept through its archive", member["sample_kept"] and
                        member["parents"] and unpacked(sample_path(folder, zipped)) == zipped, member)
            self.expect("members not kept apart", kept_files(folder) == sorted(
                sample_path(folder, data) for data in (plain, by_form, zipped)), kept_files(folder))
            page = request("GET", member["report"])[1]
            self.expect("member's page", b"Sample kept" in page, page[-800:])

            counted = metrics()
            on_disk = sum(os.path.getsize(path) for path in kept_files(folder))
            self.expect("metrics", counted.get("brantwicker_samples_kept") == 3 and
                        counted.get("brantwicker_samples_bytes") == on_disk and
                        counted.get("brantwicker_sample_faults_total") == 0, counted)
            text = request("GET", "/metrics", port=9100)[1].decode()
            checked = subprocess.run(["promtool", "check", "metrics"], input=text,
                                     capture_output=True, text=True)
            self.expect("promtool", checked.returncode == 0, checked.stdout + checked.stderr)

            # A folder that fails: the upload is answered, the fault counted.
            shutil.rmtree(os.path.join(folder, "tmp"))
            with open(os.path.join(folder, "tmp"), "w"):
                pass
            lost = b"cannot be kept\n"
            got = upload(lost, "lost.txt")
            self.expect("keep failure", not got["sample_kept"] and got["verdict"] == "unknown" and
                        metrics().get("brantwicker_sample_faults_total") == 1 and
                        "is not kept" in service.log(), (got, service.log()[-400:]))
        finally:
            self.problems += service.stop()

    def bounds(self) -> None:
        workdir, folder = self.folder("bounds")
        files = [random.Random(n).randbytes(50_000) for n in range(4)]
        # Room for two, not three: the oldest goes as the third is kept.
        service = self.serve(workdir, "--samples", folder, "--samples-max-bytes", "120000")
        try:
            for n, data in enumerate(files[:3]):
                upload(data, f"f{n}")
            self.expect("byte bound", kept_files(folder) == sorted(
                sample_path(folder, data) for data in files[1:3]), kept_files(folder))
            self.expect("byte bound record", not record(files[0])["sample_kept"]
                        and record(files[2])["sample_kept"], record(files[0]))
        finally:
            self.problems += service.stop()
        # Two days old, past --samples-days 1: gone once the service starts.
        aged = time.time() - 2 * 86400
        os.utime(sample_path(folder, files[1]), (aged, aged))
        service = self.serve(workdir, "--samples", folder, "--samples-days", "1", fresh=False)
        try:
            self.expect("day bound", self.until(lambda: kept_files(folder) == [sample_path(folder, files[2])]),
                        kept_files(folder))
        finally:
            self.problems += service.stop()

    def crash(self) -> None:
        workdir, folder = self.folder("crash")
        service = self.serve(workdir, "--samples", folder, "--scan-jobs", "4")
        uploads = [random.Random(100 + n).randbytes(3 << 20) for n in range(24)]
        sent = threading.Event()

        def send(data: bytes) -> None:
            try:
                sent.set()
                request("POST", "/api/v1/scan?name=large", data)
            except OSError:
                pass  # cut off by the kill

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            for data in uploads:
                pool.submit(send, data)
            sent.wait(10)
            # Into the middle of a write: once one is kept, as soon as another
            # is seen being written.
            temps = os.path.join(folder, "tmp")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not (kept_files(folder) and os.listdir(temps)):
                pass
            os.killpg(service.pid, signal.SIGKILL)
            service.ended(10)
        kept = kept_files(folder)
        left = os.listdir(temps)
        print(f"killed with {len(kept)} of {len(uploads)} uploads kept, {len(left)} being written")
        whole = {hashlib.sha256(data).hexdigest(): data for data in uploads}
        for path in kept:
            name = os.path.basename(path)[:-4]
            self.expect("whole after the kill", unpacked(path) == whole.get(name), path)
        self.expect("killed while writing", 0 < len(kept) < len(uploads) and left, (len(kept), left))
        # One more that a crashed writer left, and one another service is writing.
        for name, age in (("crashed.1.0", STALE), ("writing.2.0", 0)):
            with open(os.path.join(temps, name), "wb") as temp:
                temp.write(b"(\xb5/\xfd part of a sample")
            os.utime(os.path.join(temps, name), (time.time() - age, time.time() - age))
        for name in left:
            os.utime(os.path.join(temps, name), (time.time() - STALE, time.time() - STALE))
        service = self.serve(workdir, "--samples", folder, fresh=False)
        try:
            self.expect("stale temporary files dropped",
                        self.until(lambda: os.listdir(temps) == ["writing.2.0"]),
                        (len(left), os.listdir(temps)))
            self.expect("kept ones kept", kept_files(folder) == kept, kept_files(folder))
        finally:
            self.problems += service.stop()

    def without(self) -> None:
        workdir, _ = self.folder("without")
        service = self.serve(workdir)
        try:
            data = b"not kept anywhere\n"
            got = upload(data, "plain.txt")
            page = request("GET", got["report"])[1]
            written = [name for _, _, names in os.walk(workdir) for name in names
                       if name.endswith(".zst")]
            self.expect("without --samples", got["sample_kept"] is False and
                        b"Sample not kept" in page and not written, (got["sample_kept"], written))
            self.expect("no sample metrics", "brantwicker_samples_kept" not in metrics(), "")
        finally:
            self.problems += service.stop()

    def refused(self) -> None:
        workdir, _ = self.folder("refused")
        blocker = os.path.join(workdir, "a-file")
        open(blocker, "w").close()
        for args, status, said in (((
                "--samples", os.path.join(blocker, "samples")), 1, "cannot make the samples folder"),
                (("--samples-days", "3"), 2, "need --samples")):
            done = subprocess.run([self.program, "serve", os.path.join(self.workdir, "kept", "store.db"),
                                   "--listen", "127.0.0.1:0", *args],
                                  capture_output=True, text=True, timeout=30)
            self.expect("refused at start", done.returncode == status and said in done.stderr,
                        (args, done.returncode, done.stderr[-300:]))

    @staticmethod
    def until(done, within: float = 10) -> bool:
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            if done():
                return True
            time.sleep(0.1)
        return done()


def run(program: str) -> int:
    for tool in ("zip", "zstd", "promtool"):
        if not shutil.which(tool):
            return cannot_test(f"{tool} is missing (zip, zstd, prometheus)")
    with tempfile.TemporaryDirectory(prefix="samples-") as workdir:
        clamd = RealClamd(workdir, {}, 2 * SCAN_MAX)
        checks = Run(program, workdir, clamd)
        try:
            for behaviour in (checks.kept, checks.bounds, checks.crash, checks.without,
                              checks.refused):
                try:
                    behaviour()
                except (AssertionError, KeyError, RuntimeError, TypeError, OSError) as failed:
                    checks.problems.append(f"{behaviour.__name__}: {failed!r}")
        finally:
            clamd.stop()
    print(*(f"FAIL: {problem}" for problem in checks.problems),
          f"{len(checks.problems)} problems", sep="\n")
    return 1 if checks.problems else 0


if __name__ == "__main__":
    outside = in_namespace() if clamd_program() else cannot_test(
        "the Debian package clamav-daemon is missing")
    sys.exit(run(os.path.abspath(sys.argv[-1])) if outside is None else outside)
