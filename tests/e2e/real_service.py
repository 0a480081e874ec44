"""The built service, run for one test on a store of its own.

The hash-list lines are imported with the service's own import command into a
new database; the service is then started on it and counts as ready once it
accepts a connection. Stopping it sends SIGTERM, as an operator would, and
anything but a prompt exit with status 0 is reported: a service that loses
its requests or hangs on the way out must not pass unseen.

Run it only inside a private network namespace (see run_cases.py)."""

import os
import signal
import socket
import subprocess
import time

READY_SECONDS = 10.0
STOP_SECONDS = 10.0


class RealService:
    def __init__(self, program: str, workdir: str, lines: list[bytes], *,
                 listen: tuple[str, int] = ("127.0.0.1", 80),
                 import_args: tuple[str, ...] = ("--format", "md5sum", "--source", "e2e"),
                 serve_args: tuple[str, ...] = ()):
        self.database = os.path.join(workdir, "store.db")
        self.log_path = os.path.join(workdir, "service.log")
        self.address = listen
        listing = os.path.join(workdir, "store.md5")
        with open(listing, "wb") as out:
            out.write(b"".join(line + b"\n" for line in lines))
        imported = subprocess.run([program, "import", self.database, *import_args, listing],
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=60)
        if imported.returncode != 0:
            raise RuntimeError(f"import failed ({imported.returncode}): {imported.stderr.strip()}")

        self._log = open(self.log_path, "wb")
        self._process = subprocess.Popen(
            [program, "serve", self.database, "--listen", f"{listen[0]}:{listen[1]}",
             *serve_args],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            start_new_session=True)
        try:
            self._wait_until_ready()
        except BaseException:
            self._process.kill()
            self._process.wait()
            self._log.close()
            raise

    def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise RuntimeError(f"the service ended with status {self._process.returncode} "
                                   f"before it accepted a connection: {self.log()!r}")
            try:
                socket.create_connection(self.address, timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"the service accepted no connection within {READY_SECONDS} s")

    def log(self) -> str:
        self._log.flush()
        with open(self.log_path, "rb") as written:
            return written.read().decode("utf-8", "replace")

    def signal(self, number: int) -> None:
        self._process.send_signal(number)

    def ended(self, within: float) -> bool:
        """Whether the service ends by itself within `within` seconds."""
        try:
            self._process.wait(within)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self) -> list[str]:
        """Stops the service; returns what went wrong on the way out."""
        problems = []
        self._process.send_signal(signal.SIGTERM)
        try:
            status = self._process.wait(STOP_SECONDS)
            if status != 0:
                problems.append(f"the service ended with status {status} on SIGTERM")
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()
            problems.append(f"the service did not stop within {STOP_SECONDS} s of SIGTERM")
        self._log.close()
        return problems
