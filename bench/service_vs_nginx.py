#!/usr/bin/env python3
"""The service under load beside nginx, in the same run, on loopback.

wrk (64 connections, two threads, --latency) drives in turn the program's
exchange (POST /qn/en/consultamd5 with the program's exact body) and the JSON
look-up (GET /api/v1/md5/<held digest>) of the service, on a store of
RECORDS records, and nginx serving static files of exactly the sizes of
those two replies with the same requests. Rounds alternate service and nginx
so that both see the same machine; the median round is reported.

Targets: of nginx's requests per second, at least 0.97 for the consult and
0.9 for the JSON look-up, and a 99th-percentile latency under 5 ms. Each
round also reads the CPU time each server spent on it, per request: on a
machine others are busy on, that is the steadier figure.

usage: bench/service_vs_nginx.py SERVICE [--records N | --store DB --held MD5]
                                  [--rounds N] [--seconds S] [--threads N]

By default a list of RECORDS (5 million) md5sum lines is made by
bench/hash_list.py, as for the import benchmark, and imported into a new
store with SERVICE's own import; --store and --held name a store made before
instead.
Run it on a release build (bash scripts/install-bench-deps.sh first)."""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from hash_list import write_lists

SERVICE_PORT = 18080
NGINX_PORT = 18081
CONNECTIONS = 64
THREADS = 2

NGINX_CONF = """
worker_processes {workers};
daemon off;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 1024; }}
http {{
    access_log {work}/nginx-access.log;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    default_type text/html;
    server {{
        listen 127.0.0.1:{port};
        root {work}/www;
        # Static files refuse POST; answer the program's POST with the file.
        error_page 405 =200 $uri;
    }}
}}
"""

# The program's request body: its digest and the click position it sends.
CONSULT_LUA = """
wrk.method = "POST"
wrk.body = "hash={digest}&x=166&y=22"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
"""

UNITS = {"us": 0.001, "ms": 1.0, "s": 1000.0}


def wait_for_port(port: int, process: subprocess.Popen, what: str) -> None:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit(f"{what} ended with status {process.returncode} before listening")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise SystemExit(f"{what} did not listen on port {port} within 30 s")


def reply_body(request: urllib.request.Request) -> bytes:
    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None
    opener = urllib.request.build_opener(NoRedirect, urllib.request.ProxyHandler({}))
    try:
        with opener.open(request, timeout=5) as reply:
            return reply.read()
    except urllib.error.HTTPError as reply:  # the 303 of a held digest
        return reply.read()


def make_store(service: str, work: str, records: int) -> tuple[str, str]:
    """A store of `records` records; returns its path and a digest it holds."""
    listing, store = os.path.join(work, "list.md5"), os.path.join(work, "store.db")
    write_lists(records, listing)
    with open(listing) as lines:
        held = lines.readline()[:32]
    started = time.monotonic()
    subprocess.run([service, "import", store, "--format", "md5sum", "--source", "bench", listing],
                   check=True, stdout=subprocess.DEVNULL)
    print(f"imported {records} records in {time.monotonic() - started:.0f} s")
    os.remove(listing)
    return store, held


def cpu_seconds(pid: int) -> float:
    """CPU time of process `pid` and of its children (nginx's workers)."""
    total = 0.0
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if entry == str(pid) or fields[1] == str(pid):  # fields[1] is the parent
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def measured(pid: int, url: str, seconds: int, script: str | None) -> dict:
    """wrk's figures, and the server's CPU time per request: on a machine
    others are using too, the CPU a request costs is steadier than the rate."""
    before = cpu_seconds(pid)
    figures = wrk(url, seconds, script)
    figures["cpu_us"] = (cpu_seconds(pid) - before) * 1e6 / max(figures["requests"], 1)
    return figures


def wrk(url: str, seconds: int, script: str | None) -> dict:
    argv = ["wrk", f"-t{THREADS}", f"-c{CONNECTIONS}", f"-d{seconds}s", "--latency"]
    if script:
        argv += ["-s", script]
    out = subprocess.run(argv + [url], check=True, capture_output=True, text=True,
                         timeout=seconds + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    p99 = re.search(r"\s99%\s+([\d.]+)(us|ms|s)\b", out)
    errors = re.search(r"Socket errors:.*|Non-2xx or 3xx responses: \d+", out)
    return {"rps": rps, "requests": requests, "p99_ms": float(p99.group(1)) * UNITS[p99.group(2)],
            "errors": errors.group(0) if errors else ""}


def store_parser(doc: str) -> argparse.ArgumentParser:
    """The arguments every service benchmark takes: the program and its store."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("service", help="the built brantwicker-service (a release build)")
    parser.add_argument("--records", type=int, default=5_000_000)
    parser.add_argument("--store", help="a store made before, instead of a new one")
    parser.add_argument("--held", help="with --store: an MD5 it holds")
    return parser


def stop(process: subprocess.Popen) -> None:
    """SIGTERM, as an operator stops it; SIGKILL after 20 s."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main() -> int:
    parser = store_parser(__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--threads", type=int, default=2, help="service threads, nginx workers")
    options = parser.parse_args()
    if bool(options.store) != bool(options.held):
        parser.error("--store and --held go together")
    for tool in ("wrk", "nginx"):
        if shutil.which(tool) is None and not os.path.exists(f"/usr/sbin/{tool}"):
            raise SystemExit(f"{tool} is not installed: bash scripts/install-bench-deps.sh")

    work = tempfile.mkdtemp(prefix="service-bench-")
    os.chmod(work, 0o755)  # nginx's workers drop root and must read the files
    os.makedirs(os.path.join(work, "www"))
    store, held = options.store, options.held
    if store is None:
        store, held = make_store(options.service, work, options.records)
    service_log = open(os.path.join(work, "service-access.log"), "wb")
    service = subprocess.Popen(
        [options.service, "serve", store, "--listen", f"127.0.0.1:{SERVICE_PORT}",
         "--threads", str(options.threads)],
        stdin=subprocess.DEVNULL, stdout=service_log, stderr=service_log)
    nginx = None
    try:
        wait_for_port(SERVICE_PORT, service, "the service")
        base = f"http://127.0.0.1:{SERVICE_PORT}"
        consult_body = reply_body(urllib.request.Request(
            base + "/qn/en/consultamd5", data=f"hash={held}&x=166&y=22".encode()))
        lookup_body = reply_body(urllib.request.Request(f"{base}/api/v1/md5/{held}"))
        if b"located <a href=\"/qn/en/report/" not in consult_body or b"{" not in lookup_body:
            raise SystemExit(f"{held} is not held: {consult_body!r} {lookup_body!r}")
        # nginx serves files of the very same sizes.
        for name, body in (("consult.html", consult_body), ("lookup.json", lookup_body)):
            with open(os.path.join(work, "www", name), "wb") as out:
                out.write(b"x" * len(body))
        with open(os.path.join(work, "nginx.conf"), "w") as conf:
            conf.write(NGINX_CONF.format(workers=options.threads, work=work, port=NGINX_PORT))
        script = os.path.join(work, "consult.lua")
        with open(script, "w") as lua:
            lua.write(CONSULT_LUA.format(digest=held))
        nginx = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-c",
                                  os.path.join(work, "nginx.conf"), "-p", work],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, start_new_session=True)
        wait_for_port(NGINX_PORT, nginx, "nginx")

        nginx_base = f"http://127.0.0.1:{NGINX_PORT}"
        endpoints = [
            ("consult (POST)", f"{base}/qn/en/consultamd5", f"{nginx_base}/consult.html",
             script, len(consult_body), 0.97),
            ("JSON look-up (GET)", f"{base}/api/v1/md5/{held}",
             f"{nginx_base}/lookup.json", None, len(lookup_body), 0.9),
        ]
        print(f"wrk -t{THREADS} -c{CONNECTIONS} -d{options.seconds}s --latency, "
              f"{options.rounds} rounds, service threads = nginx workers = {options.threads}")
        failed = False
        for name, service_url, nginx_url, lua, size, target in endpoints:
            rounds = {"service": [], "nginx": []}
            for _ in range(options.rounds):
                rounds["service"].append(measured(service.pid, service_url, options.seconds, lua))
                rounds["nginx"].append(measured(nginx.pid, nginx_url, options.seconds, lua))
            median = {who: sorted(r, key=lambda one: one["rps"])[len(r) // 2]
                      for who, r in rounds.items()}
            ratio = median["service"]["rps"] / median["nginx"]["rps"]
            print(f"\n{name}, reply body {size} bytes")
            for who in ("service", "nginx"):
                m = median[who]
                print(f"  {who:8} {m['rps']:10.0f} requests/s   p99 {m['p99_ms']:6.2f} ms"
                      f"   CPU {m['cpu_us']:5.1f} us/request"
                      f"   {m['errors']}")
            cpu = {who: sorted(one["cpu_us"] for one in r)[len(r) // 2] for who, r in rounds.items()}
            ok = ratio >= target and median["service"]["p99_ms"] < 5.0
            print(f"  ratio service/nginx {ratio:.2f} (target >= {target:.2f}), service p99 "
                  f"{median['service']['p99_ms']:.2f} ms (target < 5 ms): {'met' if ok else 'MISSED'}")
            print(f"  CPU per request, median round: service {cpu['service']:.1f} us, nginx "
                  f"{cpu['nginx']:.1f} us, service/nginx {cpu['service'] / cpu['nginx']:.2f}")
            # Errors on either side make the comparison meaningless.
            failed |= not ok or any(m["errors"] for m in median.values())
        return 1 if failed else 0
    finally:
        for process in (nginx, service):
            if process is not None:
                stop(process)
        service_log.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
