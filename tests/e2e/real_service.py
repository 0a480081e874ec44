# The built service, run for one test on a store of its own, inside private
# network and mount namespaces (in_namespace enters them, for the lookup cases
# and the other tests that talk to a service alike). The hash-list lines are
# imported with the service's own import command into a new database; the
# service counts as ready once it accepts a connection. Stopping it sends
# SIGTERM, as an operator would, and anything but a prompt exit with status 0
# is reported: a service that loses its requests or hangs on the way out must
# not pass unseen.

import os
import signal
import socket
import subprocess
import sys
import time

WAIT_SECONDS = 10.0
IN_NAMESPACE = "BRANTWICKER_E2E_IN_NAMESPACE"


def cannot_test(reason: str) -> int:
    if os.environ.get("CI"):
        print(f"FAILED: {reason}; CI is set, so these tests must run here")
        return 1
    print(f"skipped: {reason}")
    return 77


def in_namespace() -> int | None:
    """None once this process runs in namespaces of its own with loopback up;
    otherwise the exit status of the run that did (or of the skip)."""
    if os.environ.get(IN_NAMESPACE) != "1":
        probe = subprocess.run(["unshare", "-mn", "true"], capture_output=True, text=True)
        if probe.returncode != 0:
            return cannot_test("cannot create network and mount namespaces "
                               f"(unshare -mn: {probe.stderr.strip()}); run as root")
        env = dict(os.environ, **{IN_NAMESPACE: "1"})
        return subprocess.run(["unshare", "-mn", sys.executable, *sys.argv], env=env).returncode
    up = subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True, text=True)
    if up.returncode != 0:
        return cannot_test(f"cannot bring up the loopback interface: {up.stderr.strip()}")
    return None


class RealService:
    def __init__(self, program: str, workdir: str, lines: list[bytes] | None, *,
                 import_args: tuple[str, ...] = ("--format", "md5sum", "--source", "e2e"),
                 serve_args: tuple[str, ...] = ()):
        self.address = ("127.0.0.1", 80)
        self._log_path = os.path.join(workdir, "service.log")
        database = self.database = os.path.join(workdir, "store.db")
        # No lines: the store the last service in `workdir` had, as it was left.
        self.import_said = self.add(program, lines, import_args) if lines is not None else ""
        with open(self._log_path, "wb") as log:
            self._process = subprocess.Popen(
                [program, "serve", database, "--listen", "127.0.0.1:80", *serve_args],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                start_new_session=True)
        deadline = time.monotonic() + WAIT_SECONDS
        while self._process.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(self.address, timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        problem = (f"accepted no connection within {WAIT_SECONDS} s"
                   if self._process.returncode is None
                   else f"ended with status {self._process.returncode}: {self.log()!r}")
        self._process.kill()
        self._process.wait()
        raise RuntimeError(f"the service {problem}")

    def add(self, program: str, lines: list[bytes],
            import_args: tuple[str, ...] = ("--format", "md5sum", "--source", "e2e")) -> str:
        """Imports `lines` into the store; returns what the import said of them."""
        listing = os.path.join(os.path.dirname(self.database), "store.md5")
        with open(listing, "wb") as out:
            out.write(b"".join(line + b"\n" for line in lines))
        imported = subprocess.run([program, "import", self.database, *import_args, listing],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=60)
        if imported.returncode != 0:
            raise RuntimeError(f"import failed ({imported.returncode}): {imported.stderr.strip()}")
        return imported.stderr  # the lines it skipped, if any

    def log(self) -> str:
        with open(self._log_path, "rb") as written:
            return written.read().decode("utf-8", "replace")

    @property
    def pid(self) -> int:
        return self._process.pid

    def signal(self, number: int) -> None:
        self._process.send_signal(number)

    def ended(self, within: float) -> bool:
        try:
            self._process.wait(within)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self) -> list[str]:
        """Stops the service; returns what went wrong on the way out,
        including anything the sanitizers wrote to its log."""
        self.signal(signal.SIGTERM)
        problems = []
        if not self.ended(WAIT_SECONDS):
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()
            problems.append(f"the service did not stop within {WAIT_SECONDS} s of SIGTERM")
        elif self._process.returncode != 0:
            problems.append(f"the service ended with status {self._process.returncode} on SIGTERM")
        log = self.log()
        if "Sanitizer" in log or "runtime error" in log:
            problems.append("the sanitizers reported:\n" + log[-4000:])
        return problems
