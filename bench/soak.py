#!/usr/bin/env python3
"""The service under a long mixed load, with imports committing meanwhile.

wrk (64 connections, two threads) drives a mix of the program's consult (a
held and an unknown MD5), the JSON look-up, bulk look-ups of 100 MD5s and the
report and search pages, one minute at a time, for MINUTES minutes; an import
of a fresh list commits at one third and at two thirds of the run. Each minute
gives its requests per second, 99th-percentile latency and errors (replies
other than 2xx and 3xx, and socket errors: the mix asks nothing that should
get a 4xx); between minutes the service's resident memory and open file
descriptors are read from /proc.

Passes when there are no errors, resident memory at the end is within 10% of
that after the first minute, and the descriptors open when idle at the end
are as many as before the load.

usage: bench/soak.py SERVICE [--records N | --store DB --held MD5] [--minutes M]

Not a test: run it by hand on a release build (bash scripts/install-bench-deps.sh
first). The store is copied, as the imports change it."""

import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from hash_list import write_lists
from service_vs_nginx import UNITS, make_store, stop, store_parser, wait_for_port

PORT = 18082
CONNECTIONS = 64

# Requests built once per wrk thread, then taken in turn.
MIX_LUA = """
local requests = {{}}
local i = 0
function init(args)
  local form = {{["Content-Type"] = "application/x-www-form-urlencoded"}}
  local json = {{["Content-Type"] = "application/json"}}
  local mix = {{
    wrk.format("POST", "/qn/en/consultamd5", form, "hash={held}&x=166&y=22"),
    wrk.format("POST", "/qn/en/consultamd5", form, "hash={unknown}&x=166&y=22"),
    wrk.format("GET", "/api/v1/md5/{held}"),
    wrk.format("GET", "/api/v1/md5/{held}"),
    wrk.format("POST", "/api/v1/bulk/md5", json, '{bulk}'),
    wrk.format("GET", "/qn/en/report/{held}/quellarion-brantwicker-file-report.html"),
    wrk.format("GET", "/buscaHash.html?hash={held}"),
    wrk.format("GET", "/buscaHash.html"),
  }}
  for _, r in ipairs(mix) do table.insert(requests, r) end
end
function request()
  i = i % #requests + 1
  return requests[i]
end
"""


def process_figures(pid: int) -> tuple[int, int, int]:
    """Resident memory and its anonymous part (KiB), and open descriptors."""
    with open(f"/proc/{pid}/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return (int(fields["VmRSS"].split()[0]), int(fields["RssAnon"].split()[0]),
            len(os.listdir(f"/proc/{pid}/fd")))


def wrk_minute(url: str, script: str, seconds: int) -> dict:
    out = subprocess.run(["wrk", "-t2", f"-c{CONNECTIONS}", f"-d{seconds}s", "--latency",
                          "-s", script, url], check=True, capture_output=True, text=True,
                         timeout=seconds + 60).stdout
    p99 = re.search(r"\s99%\s+([\d.]+)(us|ms|s)\b", out)
    errors = sum(int(socket or status) for socket, status in re.findall(
        r"(?:connect|read|write|timeout) (\d+)|Non-2xx or 3xx responses: (\d+)", out))
    return {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)),
            "p99_ms": float(p99.group(1)) * UNITS[p99.group(2)], "errors": errors}


def main() -> int:
    parser = store_parser(__doc__)  # a store given is copied: the imports change it
    parser.add_argument("--minutes", type=int, default=10)
    parser.add_argument("--import-lines", type=int, default=200_000)
    options = parser.parse_args()
    if bool(options.store) != bool(options.held):
        parser.error("--store and --held go together")

    work = tempfile.mkdtemp(prefix="service-soak-")
    store, held = os.path.join(work, "store.db"), options.held
    if options.store:
        shutil.copyfile(options.store, store)
    else:
        made, held = make_store(options.service, work, options.records)
        os.replace(made, store)
    rng = random.Random(18)
    unknown = "%032x" % rng.getrandbits(128)
    bulk = "[" + ",".join(f'"{held if n % 10 == 0 else "%032x" % rng.getrandbits(128)}"'
                          for n in range(100)) + "]"
    script = os.path.join(work, "mix.lua")
    with open(script, "w") as lua:
        lua.write(MIX_LUA.format(held=held, unknown=unknown, bulk=bulk))
    lists = []
    for n in range(2):
        lists.append(os.path.join(work, f"import-{n}.md5"))
        write_lists(options.import_lines, lists[-1])

    log = open(os.path.join(work, "service.log"), "wb")
    service = subprocess.Popen([options.service, "serve", store, "--listen", f"127.0.0.1:{PORT}",
                                "--threads", "2"], stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    imports: list[str] = []

    def import_at(delay: float, listing: str, source: str) -> None:
        time.sleep(delay)
        started = time.monotonic()
        done = subprocess.run([options.service, "import", store, "--format", "md5sum",
                               "--source", source, listing], capture_output=True, text=True)
        imports.append(f"{source}: status {done.returncode} after {time.monotonic() - started:.0f} s"
                       f" at {delay / 60:.1f} min: {done.stdout.strip()}")

    try:
        wait_for_port(PORT, service, "the service")
        idle_before = process_figures(service.pid)
        total = options.minutes * 60
        threads = [threading.Thread(target=import_at, args=(total * k / 3, lists[k - 1], f"soak-{k}"))
                   for k in (1, 2)]
        for thread in threads:
            thread.start()
        print(f"wrk -t2 -c{CONNECTIONS} --latency, a mix of 8 requests, {options.minutes} minutes;"
              f" idle before: RSS {idle_before[0]} KiB, {idle_before[2]} descriptors")
        print("minute  requests/s  p99 ms  errors  RSS KiB  anonymous KiB  descriptors")
        rows = []
        for minute in range(1, options.minutes + 1):
            figures = wrk_minute(f"http://127.0.0.1:{PORT}", script, 60)
            rss, anon, fds = process_figures(service.pid)
            rows.append((figures, rss, anon))
            print(f"{minute:6}  {figures['rps']:10.0f}  {figures['p99_ms']:6.2f}  {figures['errors']:6}"
                  f"  {rss:7}  {anon:13}  {fds:11}", flush=True)
        for thread in threads:
            thread.join()
        time.sleep(2)  # the last connections closed
        idle_after = process_figures(service.pid)
        errors = sum(row[0]["errors"] for row in rows)
        growth = rows[-1][1] / rows[0][1] - 1
        print(*imports, sep="\n")
        print(f"errors {errors}; RSS after minute 1 {rows[0][1]} KiB, at the end {rows[-1][1]} KiB"
              f" ({growth:+.1%}); descriptors idle before {idle_before[2]}, after {idle_after[2]}")
        ok = errors == 0 and abs(growth) <= 0.10 and idle_after[2] == idle_before[2] and \
            all(" status 0 " in line for line in imports)
        print("met" if ok else "MISSED")
        return 0 if ok else 1
    finally:
        stop(service)
        log.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
