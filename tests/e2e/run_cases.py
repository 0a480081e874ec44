#!/usr/bin/env python3
"""Runs lookup cases (cases/*.case; the format is in cases/README.md) against
the built program.

Each run happens inside private network and mount namespaces: the runner
re-executes itself under `unshare -mn`, brings up the loopback interface,
bind-mounts a hosts file that maps the service host to 127.0.0.1 over
/etc/hosts, and serves the case's reply from a fake service on 127.0.0.1:80,
or, for behaviour `real`, runs the built service there on the case's store.
Where the namespaces cannot be made the runner skips (exit 77), or fails when
the environment variable CI is set."""

import argparse
import contextlib
import errno
import hashlib
import http.client
import importlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import traceback
import urllib.parse

from case_file import Case, CaseError, decode, decode_text, load_case
from fake_service import FakeService
from real_service import RealService

SKIP = 77
IN_NAMESPACE = "BRANTWICKER_E2E_IN_NAMESPACE"


def cannot_test(reason: str) -> int:
    if os.environ.get("CI"):
        print(f"e2e: FAILED: {reason}; CI is set, so the lookup tests must run here")
        return 1
    print(f"e2e: skipped: {reason}")
    return SKIP


def enter_namespace() -> int:
    if shutil.which("unshare") is None:
        return cannot_test("`unshare` (util-linux) is not installed")
    probe = subprocess.run(["unshare", "-mn", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return cannot_test("cannot create network and mount namespaces "
                           f"(unshare -mn: {probe.stderr.strip()}); run as root")
    env = dict(os.environ, **{IN_NAMESPACE: "1"})
    return subprocess.run(["unshare", "-mn", sys.executable, *sys.argv], env=env).returncode


@contextlib.contextmanager
def hosts_file(workdir: str, host: str | None):
    hosts = os.path.join(workdir, "hosts")
    with open(hosts, "w") as lines:
        lines.write("127.0.0.1 localhost\n")
        if host is not None:
            lines.write(f"127.0.0.1 {host}\n")
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    try:
        yield
    finally:
        # The next case mounts its own; a mount over a deleted file would fail.
        subprocess.run(["umount", "/etc/hosts"], check=True)


def expected_request(host: str, digest: str) -> bytes:
    return (f"POST /qn/en/consultamd5 HTTP/1.0\r\nHost: {host}\r\n"
            f"User-Agent: el.Agent [by el.Quo]\r\nContent-Length: 48\r\n\r\n"
            f"hash={digest}&x=166&y=22").encode()


def expected_box(line: str, values: dict[str, str]) -> tuple[str, str, int]:
    flags, title, text = (part.strip() for part in line.split("|", 2))
    return (decode_text(title, values), decode_text(text, values), int(flags, 0))


def boxes_match(expected: list, observed: list) -> bool:
    # A launcher that cannot see icons reports None; title and text still count.
    return len(expected) == len(observed) and all(
        e[:2] == o[:2] and (o[2] is None or e[2] == o[2]) for e, o in zip(expected, observed))


def page_differences(address: str, wanted: list[str]) -> list[str]:
    """Fetches an address the browser got and checks the page holds `wanted`."""
    parts = urllib.parse.urlsplit(address)
    connection = http.client.HTTPConnection(parts.hostname, parts.port or 80, timeout=5)
    try:
        connection.request("GET", parts.path + (f"?{parts.query}" if parts.query else ""))
        reply = connection.getresponse()
        status, page = reply.status, reply.read().decode("utf-8", "replace")
    finally:
        connection.close()
    if status != 200:
        return [f"page {address}: status {status}, expected 200"]
    return [f"page {address}: does not contain {text!r}" for text in wanted if text not in page]


def run_case(case: Case, program: str, host: str, launcher, service_program: str | None) -> list[str]:
    """Returns the differences between what the case expects and what happened."""
    with tempfile.TemporaryDirectory(prefix=f"e2e-{case.name}-") as workdir:
        return run_case_in(case, program, host, launcher, workdir, service_program)


def run_case_in(case: Case, program: str, host: str, launcher, workdir: str,
                service_program: str | None) -> list[str]:
    size = int(case.get("run", "input_size", "100"))
    content = random.Random(size).randbytes(size)
    values = {"HOST": host, "DIGEST": hashlib.md5(content).hexdigest(),
              "ENOENT": os.strerror(errno.ENOENT)}
    behaviour = case.get("service", "behaviour")  # checked by load_case
    repeat = int(case.get("run", "repeat", "1"))
    if repeat > 1 and behaviour in ("normal", "close", "reset"):
        raise CaseError("the fake service serves one run; repeat needs another behaviour")
    if behaviour == "real" and service_program is None:
        raise CaseError("behaviour real needs the service program (--service); "
                        "builds without the service cannot run this case")

    env = dict(os.environ)
    # The launcher sets up the desktop and the browser; the caller's must not leak in.
    for name in (IN_NAMESPACE, "BROWSER", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update(setting.split("=", 1) for setting in case.all("run", "env"))
    want_boxes = [expected_box(line, values) for line in case.all("expect", "box")]
    want_opened = [decode_text(address, values) for address in case.all("expect", "open")]
    want_pages = [decode_text(text, values) for text in case.all("expect", "page_contains")]

    def differences(seen, received: bytes | None) -> list[str]:
        checks = [
            ("exit status", int(case.get("expect", "exit")), seen.exit_status, None),
            ("standard output", decode(case.get("expect", "stdout"), values), seen.stdout, None),
            ("boxes", want_boxes, seen.boxes, boxes_match),
            ("browser addresses", want_opened, seen.opened, None),
            ("unaccounted output", [], seen.stray, None),
        ]
        if received is not None:
            want_request = {"exact": expected_request(host, values["DIGEST"]),
                            "none": b""}[case.choice("expect", "request", ("exact", "none"))]
            checks.append(("request received", want_request, received, None))
        return [f"{what}:\n  expected {want!r}\n  observed {got!r}"
                for what, want, got, same in checks
                if not (same(want, got) if same else want == got)]

    found: list[str] = []
    service = None
    with hosts_file(workdir, None if behaviour == "no-hosts-entry" else host):
        if behaviour == "real":
            service = RealService(service_program, workdir,
                                  [decode(line, values) for line in case.store])
        elif behaviour in ("normal", "close", "reset"):
            pause = int(case.get("service", "pause_ms", "400")) / 1000
            service = FakeService(behaviour, [decode(r, values) for r in case.replies], pause)
        try:
            for run in range(1, repeat + 1):
                # Each run in a folder of its own: the launchers' records append.
                rundir = os.path.join(workdir, f"run-{run}")
                os.mkdir(rundir)
                with open(os.path.join(rundir, "input.bin"), "wb") as input_file:
                    input_file.write(content)
                seen = launcher.run(
                    program, case.get("run", "args", "input.bin").split(), rundir, env,
                    desktop=case.choice("run", "desktop", ("yes", "no"), "yes") == "yes",
                    stdout_to_file=case.choice("run", "stdout_to", ("pipe", "file"), "pipe") == "file")
                if behaviour == "real":
                    # The real service keeps no record of requests; its pages are checked instead.
                    found = differences(seen, None)
                    for address in seen.opened if want_pages and not found else []:
                        found += page_differences(address, want_pages)
                    if found:
                        found.insert(0, f"run {run} of {repeat}:")
                        break
        finally:
            if isinstance(service, RealService):
                log = service.log()
                found += service.stop()
                if found:
                    found.append(f"the service's log ends:\n{log[-1500:]}")
            elif service is not None:
                service.stop()
    if behaviour == "real":
        return found
    return differences(seen, service.request if service is not None else b"")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the built lookup program")
    parser.add_argument("--host", required=True, help="the service host it was built with")
    parser.add_argument("--launcher", choices=("native", "wine"), default="native")
    parser.add_argument("--service", help="the built service, for cases of behaviour real")
    parser.add_argument("cases", nargs="+", help="case files")
    options = parser.parse_args()

    if os.environ.get(IN_NAMESPACE) != "1":
        return enter_namespace()
    up = subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True, text=True)
    if up.returncode != 0:
        return cannot_test(f"cannot bring up the loopback interface: {up.stderr.strip()}")
    launcher = importlib.import_module(f"launch_{options.launcher}")

    failed = 0
    for path in options.cases:
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            differences = run_case(load_case(path, name), os.path.abspath(options.program),
                                   options.host, launcher,
                                   options.service and os.path.abspath(options.service))
        except Exception:  # a broken case or environment fails this case, not the run
            differences = [traceback.format_exc()]
        print(f"{'FAIL' if differences else 'ok'}: {name}")
        for difference in differences:
            print(f"  {difference}")
        failed += bool(differences)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
