# The built service, run for one test on a store of its own, inside private
# network and mount namespaces. The hash-list lines are imported with the
# service's own import command into a new database; the service counts as
# ready once it accepts a connection. Stopping it sends SIGTERM, as an
# operator would, and anything but a prompt exit with status 0 is reported: a
# service that loses its requests or hangs on the way out must not pass unseen.

import os
import signal
import socket
import subprocess
import time

WAIT_SECONDS = 10.0


def in_namespace() -> int | None:
    # None once this process runs in its own namespaces with loopback up;
    # otherwise the exit status of the run that did (or of the skip).
    from run_cases import IN_NAMESPACE, cannot_test, enter_namespace
    if os.environ.get(IN_NAMESPACE) != "1":
        return enter_namespace()
    if subprocess.run(["ip", "link", "set", "lo", "up"]).returncode != 0:
        return cannot_test("cannot bring up the loopback interface")
    return None


class RealService:
    def __init__(self, program: str, workdir: str, lines: list[bytes], *,
                 import_args: tuple[str, ...] = ("--format", "md5sum", "--source", "e2e"),
                 serve_args: tuple[str, ...] = ()):
        self.database = os.path.join(workdir, "store.db")
        self.log_path = os.path.join(workdir, "service.log")
        self.address = ("127.0.0.1", 80)
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
            [program, "serve", self.database, "--listen", "127.0.0.1:80", *serve_args],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            start_new_session=True)
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            problem = None
            if self._process.poll() is not None:
                problem = f"the service ended with status {self._process.returncode}: {self.log()!r}"
            elif time.monotonic() > deadline:
                problem = f"the service accepted no connection within {WAIT_SECONDS} s"
            else:
                try:
                    socket.create_connection(self.address, timeout=1).close()
                    return
                except OSError:
                    time.sleep(0.05)
                    continue
            self._process.kill()
            self._process.wait()
            self._log.close()
            raise RuntimeError(problem)

    def log(self) -> str:
        self._log.flush()
        with open(self.log_path, "rb") as written:
            return written.read().decode("utf-8", "replace")

    def signal(self, number: int) -> None:
        self._process.send_signal(number)

    def ended(self, within: float) -> bool:
        try:
            self._process.wait(within)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self) -> list[str]:
        # Stops the service; returns what went wrong on the way out,
        # including anything the sanitizers wrote to its log.
        self._process.send_signal(signal.SIGTERM)
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
        self._log.close()
        return problems
