#!/usr/bin/env python3
"""Uploads analysed in depth through the service beside the tools run one
after the other, in one run.

1. A file of SIZE MiB is uploaded to the service (POST /api/v1/scan, by
   curl), which streams it to clamd, matches it with 100 YARA rules and takes
   its type and fuzzy digest; the reference runs `clamdscan --stream`,
   `yara` (the same rules) and `file` one after the other on another file of
   the same size. Target: at most 0.85 times the reference's wall time.
2. A zip of FILES small files: the service takes it apart and analyses each
   member; the reference runs `clamdscan --stream` on the zip and `yara -r`
   over the unpacked folder. Target: at most 1.0 times.
3. wrk drives the program's consult route alone, then while two uploads of
   the large file run back to back the whole time.

Every round uses fresh files, so that neither clamd's cache nor the
service's kept results answer. clamd runs with a tiny database of its own
(as in the tests): its own matching is not what is measured.

usage: bench/analysis_vs_tools.py SERVICE [--rounds N] [--size MIB] [--files N] [--seconds S]
Run it on a release build (bash scripts/install-bench-deps.sh first)."""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from scan_vs_clamdscan import HELD, fresh, free_port, timed
from service_vs_nginx import CONSULT_LUA, wait_for_port, wrk

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from real_clamd import RealClamd  # noqa: E402


def write_rules(folder: str, count: int) -> str:
    """`count` rules of the kinds analysts write: text, hex with jumps, a
    regular expression; none matches random bytes."""
    generator = random.Random(7)
    path = os.path.join(folder, "bench.yar")
    with open(path, "w") as rules:
        for i in range(count):
            text = generator.randbytes(8).hex()
            hexes = " ".join(f"{b:02X}" for b in generator.randbytes(4))
            rules.write(f'rule bench_{i} {{ meta: description = "rule {i}"\n'
                        f'  strings: $t = "{text}" $h = {{ {hexes} [2-4] {hexes} }}'
                        f' $r = /{text[:6]}[0-9a-f]{{4}}x/\n'
                        f'  condition: any of them }}\n')
    return path


def zipped(work: str, name: str, files: int) -> tuple[str, str]:
    folder = tempfile.mkdtemp(prefix=name, dir=work)
    for i in range(files):
        with open(os.path.join(folder, f"f{i:04}.bin"), "wb") as out:
            out.write(os.urandom(2048))
    archive = os.path.join(work, name + ".zip")
    subprocess.run(["zip", "-qr", archive, "."], cwd=folder, check=True)
    return archive, folder


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=20, help="MiB")
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--seconds", type=int, default=10)
    options = parser.parse_args()
    for tool in ("curl", "clamdscan", "wrk", "yara", "file", "zip"):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is missing: bash scripts/install-bench-deps.sh")
    size = options.size << 20
    port = free_port()
    url = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryDirectory(prefix="analysis-bench-") as work:
        clamd = RealClamd(work, {}, size + (1 << 20))
        client_conf = os.path.join(work, "clamdscan.conf")
        with open(client_conf, "w") as conf:
            conf.write(f"LocalSocket {clamd.socket}\n")
        rules_dir = os.path.join(work, "rules")
        os.makedirs(rules_dir)
        rules = write_rules(rules_dir, 100)
        store = os.path.join(work, "store.db")
        with open(os.path.join(work, "list.md5"), "w") as listing:
            listing.write(f"{HELD}  /bench/held\n")
        subprocess.run([options.service, "import", store, "--format", "md5sum", listing.name],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(work, "service.log"), "wb") as log:
            service = subprocess.Popen([options.service, "serve", store, "--listen",
                                        f"127.0.0.1:{port}", "--threads", "2", "--clamd",
                                        clamd.socket, "--scan-max-bytes", str(size),
                                        "--yara-rules", rules_dir,
                                        "--extract-max-files", str(options.files)],
                                       stdout=log, stderr=subprocess.STDOUT)
        clamdscan = ["clamdscan", f"--config-file={client_conf}", "--stream", "--no-summary"]
        upload = ["curl", "-sf", "-o", "/dev/null", "--data-binary"]
        try:
            wait_for_port(port, service, "the service")
            ratios = []
            for round_ in range(options.rounds):
                ours, theirs = fresh(work, "ours", size), fresh(work, "theirs", size)
                service_took = timed(upload + [f"@{ours}", f"{url}/api/v1/scan"])
                tools = {"clamdscan": timed(clamdscan + [theirs]),
                         "yara": timed(["yara", "-w", rules, theirs]),
                         "file": timed(["file", theirs])}
                reference = sum(tools.values())
                ratios.append(service_took / reference)
                print(f"round {round_ + 1}: service {service_took:.3f} s, tools one after the other "
                      f"{reference:.3f} s ({', '.join(f'{k} {v:.3f}' for k, v in tools.items())}),"
                      f" ratio {ratios[-1]:.2f}")
            print(f"{options.size} MiB upload vs clamdscan --stream + yara + file, wall time: median "
                  f"ratio {statistics.median(ratios):.2f}x, best {min(ratios):.2f}x (target <= 0.85x)")

            ratios = []
            for round_ in range(max(1, options.rounds // 2)):
                ours, _ = zipped(work, f"ours{round_}", options.files)
                theirs, unpacked = zipped(work, f"theirs{round_}", options.files)
                service_took = timed(upload + [f"@{ours}", f"{url}/api/v1/scan"])
                tools = {"clamdscan": timed(clamdscan + [theirs]),
                         "yara -r": timed(["yara", "-w", "-r", rules, unpacked])}
                reference = sum(tools.values())
                ratios.append(service_took / reference)
                print(f"zip round {round_ + 1}: service {service_took:.3f} s, tools {reference:.3f} s"
                      f" ({', '.join(f'{k} {v:.3f}' for k, v in tools.items())}),"
                      f" ratio {ratios[-1]:.2f}")
            print(f"zip of {options.files} files vs clamdscan --stream + yara -r over them: median "
                  f"ratio {statistics.median(ratios):.2f}x (target <= 1.0x)")

            lua = os.path.join(work, "consult.lua")
            with open(lua, "w") as script:
                script.write(CONSULT_LUA.format(digest=HELD))
            consult = f"{url}/qn/en/consultamd5"
            alone = wrk(consult, options.seconds, lua)
            stop = threading.Event()

            def analysing(slot: int) -> None:
                path = fresh(work, f"load-{slot}", size)
                count = 0
                while not stop.is_set():
                    with open(path, "r+b") as changed:  # never the same file twice
                        changed.write(count.to_bytes(8, "little"))
                    subprocess.run(upload + [f"@{path}", f"{url}/api/v1/scan"],
                                   stdout=subprocess.DEVNULL)
                    count += 1
            threads = [threading.Thread(target=analysing, args=(slot,)) for slot in range(2)]
            for thread in threads:
                thread.start()
            time.sleep(3)
            during = wrk(consult, options.seconds, lua)
            stop.set()
            for thread in threads:
                thread.join()
            for name, figures in (("alone", alone), ("during two analyses", during)):
                print(f"consult route {name}: {figures['rps']:.0f} requests/s, "
                      f"p99 {figures['p99_ms']:.2f} ms {figures['errors']}")
            print(f"consult rate during analyses / alone: {during['rps'] / alone['rps']:.2f}")
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
