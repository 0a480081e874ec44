#!/usr/bin/env python3
"""Uploads scanned through the service beside clamd's own client, in one run.

1. A file of SIZE MiB is uploaded to the service (POST /api/v1/scan, by
   curl) and, in turn, sent to the same clamd by `clamdscan --stream`;
   rounds alternate which goes first. Every round uses fresh files, so that
   neither clamd's cache of clean files nor the service's stored results
   answer. Target: at most 1.2 times clamdscan's wall time (median).
2. wrk drives the program's consult route alone, then while two uploads run
   back to back the whole time. Target: the 99th percentile stays under 5 ms.

clamd runs with a tiny database of its own (as in the tests), so the figures
measure the path to clamd and back, not clamd's signature matching.

usage: bench/scan_vs_clamdscan.py SERVICE [--rounds N] [--size MIB] [--seconds S]
Run it on a release build (bash scripts/install-bench-deps.sh first)."""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from service_vs_nginx import CONSULT_LUA, wait_for_port, wrk

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from real_clamd import RealClamd  # noqa: E402

HELD = "0123456789abcdef0123456789abcdef"


def free_port() -> int:
    # Other benchmarks on this machine may hold the usual ports.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def timed(argv: list[str]) -> float:
    started = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - started


def fresh(work: str, name: str, size: int) -> str:
    path = os.path.join(work, name)
    with open(path, "wb") as out:
        out.write(os.urandom(size))
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--size", type=int, default=20, help="MiB")
    parser.add_argument("--seconds", type=int, default=10)
    options = parser.parse_args()
    for tool in ("curl", "clamdscan", "wrk"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing: bash scripts/install-bench-deps.sh")
    size = options.size << 20
    port = free_port()
    url = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory(prefix="scan-bench-") as work:
        clamd = RealClamd(work, {}, size + (1 << 20))
        client_conf = os.path.join(work, "clamdscan.conf")
        with open(client_conf, "w") as conf:
            conf.write(f"LocalSocket {clamd.socket}\n")
        store = os.path.join(work, "store.db")
        with open(os.path.join(work, "list.md5"), "w") as listing:
            listing.write(f"{HELD}  /bench/held\n")
        subprocess.run([options.service, "import", store, "--format", "md5sum", listing.name],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(work, "service.log"), "wb") as log:
            service = subprocess.Popen([options.service, "serve", store, "--listen",
                                        f"127.0.0.1:{port}", "--threads", "2", "--clamd",
                                        clamd.socket, "--scan-max-bytes", str(size)],
                                       stdout=log, stderr=subprocess.STDOUT)
        try:
            wait_for_port(port, service, "the service")
            upload = ["curl", "-sf", "-o", "/dev/null", "--data-binary"]
            ratios = []
            for round_ in range(options.rounds):
                ours, theirs = fresh(work, "ours", size), fresh(work, "theirs", size)
                runs = {"service": upload + [f"@{ours}", f"{url}/api/v1/scan"],
                        "clamdscan": ["clamdscan", f"--config-file={client_conf}", "--stream",
                                      "--no-summary", theirs]}
                order = list(runs) if round_ % 2 == 0 else list(reversed(runs))
                took = {name: timed(runs[name]) for name in order}
                ratios.append(took["service"] / took["clamdscan"])
                print(f"round {round_ + 1}: service {took['service']:.3f} s, "
                      f"clamdscan --stream {took['clamdscan']:.3f} s, ratio {ratios[-1]:.2f}")
            print(f"{options.size} MiB upload+scan vs clamdscan --stream, wall time: median ratio "
                  f"{statistics.median(ratios):.2f}x, best {min(ratios):.2f}x (target <= 1.2x)")

            lua = os.path.join(work, "consult.lua")
            with open(lua, "w") as script:
                script.write(CONSULT_LUA.format(digest=HELD))
            consult = f"{url}/qn/en/consultamd5"
            alone = wrk(consult, options.seconds, lua)
            stop = threading.Event()

            def scanning(slot: int) -> None:
                files = [fresh(work, f"load-{slot}-{i}", size) for i in range(3)]
                count = 0
                while not stop.is_set():
                    with open(files[count % 3], "r+b") as changed:  # never the same file twice
                        changed.write(count.to_bytes(8, "little"))
                    subprocess.run(upload + [f"@{files[count % 3]}", f"{url}/api/v1/scan"],
                                   stdout=subprocess.DEVNULL)
                    count += 1
            threads = [threading.Thread(target=scanning, args=(slot,)) for slot in range(2)]
            for thread in threads:
                thread.start()
            time.sleep(3)  # both scanning before the load starts
            during = wrk(consult, options.seconds, lua)
            stop.set()
            for thread in threads:
                thread.join()
            for name, figures in (("alone", alone), ("during two scans", during)):
                print(f"consult route {name}: {figures['rps']:.0f} requests/s, "
                      f"p99 {figures['p99_ms']:.2f} ms {figures['errors']}")
        except subprocess.CalledProcessError:
            print(open(os.path.join(work, "service.log")).read()[-2000:], clamd.log()[-2000:])
            raise
        finally:
            service.terminate()
            service.wait()
            clamd.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
