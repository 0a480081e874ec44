# ClamAV's daemon, clamd, from Debian, run for one test program with a
# configuration and a signature database of its own in the test's folder:
# an .hdb line (MD5:size:name) for each file the test names, and an .ndb body
# signature. It listens on a Unix socket there; the service is pointed at a
# symbolic link to it, which a test may turn to another socket. Starting it
# takes a few seconds: once per test program.

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import time

START_SECONDS = 60.0
# clamd names signatures from a database of one's own with this suffix.
UNOFFICIAL = ".UNOFFICIAL"
BODY_SIGNATURE = "Brantwicker.Test.Body-1"
BODY_MARK = b"QUELLARION-TEST-BODY-MARK"


def clamd_program() -> str | None:
    return shutil.which("clamd") or (os.path.exists("/usr/sbin/clamd") and "/usr/sbin/clamd") or None


class RealClamd:
    def __init__(self, workdir: str, hashed: dict[str, bytes], stream_max: int):
        """`hashed`: signature name -> the file it matches by MD5."""
        self.dir = os.path.join(workdir, "clamd")
        self.socket = os.path.join(self.dir, "clamd.sock")
        self.link = os.path.join(workdir, "clamd-link")  # what the service is given
        database = os.path.join(self.dir, "db")
        os.makedirs(database)
        os.makedirs(os.path.join(self.dir, "tmp"))
        if hashed:  # clamd refuses an empty one
            with open(os.path.join(database, "test.hdb"), "w") as hdb:
                for name, content in hashed.items():
                    hdb.write(f"{hashlib.md5(content).hexdigest()}:{len(content)}:{name}\n")
        with open(os.path.join(database, "test.ndb"), "w") as ndb:
            ndb.write(f"{BODY_SIGNATURE}:0:*:{BODY_MARK.hex()}\n")
        self.config = os.path.join(self.dir, "clamd.conf")
        with open(self.config, "w") as config:
            config.write(f"LocalSocket {self.socket}\nForeground yes\nDatabaseDirectory {database}\n"
                         f"TemporaryDirectory {self.dir}/tmp\nLogFile {self.dir}/clamd.log\n"
                         f"StreamMaxLength {stream_max}\nSelfCheck 3600\n")
        self.point_at(self.socket)
        self._process = None
        self.start()

    def point_at(self, path: str) -> None:
        # The service connects anew for each scan, through the link.
        staged = self.link + ".new"
        os.symlink(path, staged)
        os.replace(staged, self.link)

    def start(self) -> None:
        if os.path.exists(self.socket):
            os.unlink(self.socket)
        self._process = subprocess.Popen([clamd_program(), "-c", self.config],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline and self._process.poll() is None:
            try:
                with socket.socket(socket.AF_UNIX) as probe:
                    probe.settimeout(2)
                    probe.connect(self.socket)
                    probe.sendall(b"zPING\0")
                    if probe.recv(16) == b"PONG\0":
                        return
            except OSError:
                time.sleep(0.1)
        self.stop()
        raise RuntimeError(f"clamd did not start: {self.log()[-1500:]}")

    def log(self) -> str:
        path = os.path.join(self.dir, "clamd.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def kill(self) -> None:
        if self._process and self._process.poll() is None:
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()

    def stop(self) -> None:
        if self._process and self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
