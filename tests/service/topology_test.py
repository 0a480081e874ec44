#!/usr/bin/env python3
"""The service past one machine: topology_test.py --program P --service S --host H --script T"""
# In private namespaces, scripts/pg-topology.sh sets up a PostgreSQL primary,
# a streaming standby, two service instances reading the standby and nginx on
# port 80 in front of them, the store made by an import on the primary. Then:
# the real program's 200 runs through nginx are all answered right, both
# instances serving a share; one instance is killed with SIGKILL midway and
# no run notices; the standby stopped gives a clear 503 within the read
# time-out; started again, it answers with nothing restarted. A third
# instance scans with a real clamd: an upload's scan, written on the primary,
# is in the record the standby's instances give; with the primary stopped an
# upload is a clear 503. Exits 77 (skip) without namespaces, the server
# binaries or clamd, unless CI is set.

import argparse
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

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from real_clamd import RealClamd, clamd_program  # noqa: E402
from real_service import cannot_test, in_namespace  # noqa: E402

RUNS = 200
KILL_AT = 100
CONSULT = "POST /qn/en/consultamd5"
READ_TIMEOUT = 5  # what the script gives the instances


SCANNER = 8083  # the instance that scans, as the script starts it


def ask(method: str, path: str, body: bytes | None = None, port: int = 80) -> tuple[int, float, bytes]:
    started = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=READ_TIMEOUT + 5)
    try:
        connection.request(method, path, body)
        response = connection.getresponse()
        return response.status, time.monotonic() - started, response.read()
    finally:
        connection.close()


def get(path: str) -> tuple[int, float]:
    return ask("GET", path)[:2]


def scans(script: list[str], topology: str) -> list[str]:
    """An upload's scan through the standby's instances; none with the primary down."""
    content = random.Random(23).randbytes(3000)
    digest = hashlib.md5(content).hexdigest()
    status, _, body = ask("POST", "/api/v1/scan", content, SCANNER)
    if status != 200 or len(json.loads(body).get("scans", [])) != 1:
        return [f"an upload to the scanning instance: {status} {body[:300]!r}"]
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        status, _, body = ask("GET", f"/api/v1/md5/{digest}")
        if status == 200 and json.loads(body).get("scans"):
            break
        time.sleep(0.2)
    else:
        return [f"the scan read on the standby: {status} {body[:300]!r}"]
    subprocess.run([*script, "primary", "stop", topology], check=True, timeout=60)
    status, took, body = ask("POST", "/api/v1/scan", content[::-1], SCANNER)
    if status != 503 or took > 2 * READ_TIMEOUT:
        return [f"an upload with the primary stopped: {status} after {took:.1f} s, wanted 503"]
    return []


def consults(log: str) -> int:
    with open(log, errors="replace") as lines:
        return sum(CONSULT in line for line in lines)


def run(options, workdir: str) -> list[str]:
    hosts = os.path.join(workdir, "hosts")
    with open(hosts, "w") as lines:
        lines.write(f"127.0.0.1 localhost\n127.0.0.1 {options.host}\n")
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)

    held = os.path.join(workdir, "held.bin")
    with open(held, "wb") as out:
        out.write(random.Random(17).randbytes(4096))
    with open(held, "rb") as again:
        digest = hashlib.md5(again.read()).hexdigest()
    listing = os.path.join(workdir, "held.md5")
    with open(listing, "w") as out:
        out.write(f"{digest}  /opt/topology/held.bin\n")

    os.chmod(workdir, 0o755)  # the servers run as nobody, below it
    topology = os.path.join(workdir, "topology")
    os.mkdir(topology)
    script = ["bash", options.script]
    problems: list[str] = []
    logs = [os.path.join(topology, f"instance-{i}.log") for i in (1, 2, 3)]
    env = {name: value for name, value in os.environ.items()
           if name not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["BROWSER"] = "true"
    clamd = RealClamd(workdir, {}, 1 << 20)
    # Killed (a time-out), this test runs no finally: a watchdog in a session
    # of its own takes the topology down once this process is gone.
    watchdog = subprocess.Popen(
        ["sh", "-c", f"while kill -0 {os.getpid()} 2>/dev/null; do sleep 1; done;"
                     f" exec bash {options.script} down {topology}"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        up = subprocess.run([*script, "up", topology, options.service, "80", "--source",
                             "topology", listing], capture_output=True, text=True, timeout=180,
                            env={**os.environ, "BRANTWICKER_CLAMD": clamd.link})
        if up.returncode != 0:
            return [f"the topology did not come up: {up.stdout[-1500:]}{up.stderr[-1500:]}"]
        shares = []
        for number in range(1, RUNS + 1):
            if number == KILL_AT:
                shares = [consults(log) for log in logs[:2]]
                with open(os.path.join(topology, "instance-1.pid")) as pid:
                    os.kill(int(pid.read()), signal.SIGKILL)
            seen = subprocess.run([options.program, held], env=env, capture_output=True,
                                  timeout=30)
            if seen.stdout != f"{digest}\n".encode() or seen.stderr:
                problems.append(f"run {number}: {seen.stdout!r} {seen.stderr!r}")
                break
        if min(shares or [0]) == 0:
            problems.append(f"the instances' shares before the kill: {shares}")

        subprocess.run([*script, "standby", "stop", topology], check=True, timeout=60)
        status, took = get(f"/api/v1/md5/{digest}")
        if status != 503 or took > READ_TIMEOUT:
            problems.append(f"with the standby stopped: {status} after {took:.1f} s, wanted 503")
        refused = subprocess.run([options.program, held], env=env, capture_output=True, timeout=30)
        if b"don't known" in refused.stderr:
            problems.append("with the standby stopped the program was told the file is not held")

        subprocess.run([*script, "standby", "start", topology], check=True, timeout=60)
        deadline = time.monotonic() + 15
        while (status := get(f"/api/v1/md5/{digest}")[0]) != 200 and time.monotonic() < deadline:
            time.sleep(0.2)
        if status != 200:
            problems.append(f"with the standby back: {status}, wanted 200 without a restart")
        problems += scans(script, topology)
    finally:
        watchdog.kill()
        subprocess.run([*script, "down", topology], capture_output=True, timeout=120)
        clamd.stop()
    if problems:
        for log in filter(os.path.exists, logs):
            with open(log, errors="replace") as text:
                problems.append(f"{log} ends:\n{text.read()[-1200:]}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--program", "--service", "--script"):
        parser.add_argument(option, required=True, type=os.path.abspath)
    parser.add_argument("--host", required=True)
    options = parser.parse_args()
    pg_bin = os.environ.get("BRANTWICKER_PG_BIN", "/usr/lib/postgresql/15/bin")
    missing = [name for name, found in (("postgresql-15", os.path.exists(f"{pg_bin}/initdb")),
                                        ("nginx", shutil.which("nginx") or os.path.exists("/usr/sbin/nginx")),
                                        ("clamav-daemon", clamd_program())) if not found]
    if missing:
        return cannot_test(f"{' and '.join(missing)} not installed")
    outside = in_namespace()
    if outside is not None:
        return outside
    with tempfile.TemporaryDirectory(prefix="topology-") as workdir:
        problems = run(options, workdir)
    print(*(f"FAIL: {problem}" for problem in problems),
          f"{RUNS} runs through nginx, {len(problems)} problems", sep="\n")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
