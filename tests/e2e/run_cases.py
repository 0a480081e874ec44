#!/usr/bin/env python3
"""Runs a lookup case (cases/*.case; the format is in cases/README.md) against
the built program.

The runner re-executes itself in private network and mount namespaces
(`unshare -mn`), bind-mounts a hosts file of its own over /etc/hosts, maps the
service host to 127.0.0.1 there, and serves each case's reply from a fake
service on 127.0.0.1:80, or, for behaviour `real`, runs the built service
there on the case's store. Where the namespaces cannot be made the runner
skips (exit 77), or fails when the environment variable CI is set."""

import argparse
import errno
import hashlib
import http.client
import os
import random
import re
import subprocess
import sys
import tempfile

import launchers
from fake_service import FakeService
from real_service import RealService, in_namespace

# The keys of each section with their defaults: None where a key is required,
# a list where it may be repeated.
KEYS = {
    "run": {"args": "input.bin", "input_size": "100", "desktop": "yes", "stdout_to": "pipe",
            "env": [], "repeat": "1"},
    "service": {"behaviour": None, "pause_ms": "400"},
    "expect": {"stdout": None, "box": [], "open": [], "exit": None, "page_contains": []},
}
CHOICES = {"desktop": ("yes", "no"), "stdout_to": ("pipe", "file"),
           "behaviour": ("normal", "close", "reset", "no-listener", "no-hosts-entry", "real")}


def load_case(path: str) -> dict:
    """The case's keys, with its [reply] pieces and [store] lines, as written."""
    case = {key: list(default) if isinstance(default, list) else default
            for keys in KEYS.values() for key, default in keys.items()}
    case.update(reply=[], store=[])
    section = None
    with open(path, encoding="utf-8", newline="") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\r\n")
            if header := re.fullmatch(r"\[(\w+)\]", line):
                section = header[1]
                if section == "reply":
                    case["reply"].append("")
            elif section == "reply":
                case["reply"][-1] += line
            elif not line.strip() or line.startswith("#"):
                continue
            elif section == "store":
                case["store"].append(line)
            else:
                key, sep, value = (part.strip() for part in line.partition("="))
                if not sep or key not in KEYS.get(section, ()):
                    raise ValueError(f"{path}:{number}: [{section}] has no key {key!r}")
                if isinstance(case[key], list):
                    case[key].append(value)
                else:
                    case[key] = value
    behaviour = case["behaviour"]
    for key, value in case.items():
        if value is None or key in CHOICES and value not in CHOICES[key]:
            raise ValueError(f"{path}: {key} is missing or not one of {CHOICES.get(key)}")
    if (behaviour == "normal") != bool(case["reply"]) or behaviour != "real" and (
            case["store"] or case["page_contains"] or case["repeat"] != "1"):
        raise ValueError(f"{path}: [reply] goes with behaviour normal, and only with it; "
                         "[store], page_contains and repeat with behaviour real only")
    return case


def decode(text: str, values: dict[str, str]) -> bytes:
    """A case's text as bytes: %repeat[N x TEXT]% and %NAME% filled in, then
    the backslash escapes read."""
    text = re.sub(r"%repeat\[(\d+) x (.*?)\]%", lambda m: m[2] * int(m[1]), text)
    text = re.sub(r"%([A-Z]+)%", lambda m: values[m[1]], text)
    return launchers.unescape(text.encode())


def compare(what: str, want, got) -> list[str]:
    return [] if want == got else [f"{what}:\n  expected {want!r}\n  observed {got!r}"]


def page_differences(address: str, wanted: list[str]) -> list[str]:
    """Fetches an address the browser got and checks the page holds `wanted`."""
    host, path = re.fullmatch(r"http://([^/]+)(.*)", address).groups()
    connection = http.client.HTTPConnection(host, timeout=5)
    connection.request("GET", path or "/")
    reply = connection.getresponse()
    page = reply.read().decode("utf-8", "replace")
    connection.close()
    if reply.status != 200:
        return [f"page {address}: status {reply.status}, expected 200"]
    return [f"page {address}: does not contain {text!r}" for text in wanted if text not in page]


def start_service(case: dict, values: dict[str, str], workdir: str, program: str):
    """What listens on 127.0.0.1:80 for the case, if anything."""
    if case["behaviour"] == "real":
        return RealService(program, workdir, [decode(line, values) for line in case["store"]])
    if case["behaviour"] in ("normal", "close", "reset"):
        return FakeService(case["behaviour"], [decode(piece, values) for piece in case["reply"]],
                           int(case["pause_ms"]) / 1000)
    return None


def run_case(path: str, workdir: str, options, launch) -> list[str]:
    """Returns the differences between what the case expects and what happened."""
    case = load_case(path)
    size = int(case["input_size"])
    content = random.Random(size).randbytes(size)
    values = {"HOST": options.host, "DIGEST": hashlib.md5(content).hexdigest(),
              "ENOENT": os.strerror(errno.ENOENT)}

    def text(raw: str) -> str:
        return decode(raw, values).decode("utf-8", "surrogateescape")
    boxes = [(text(title.strip()), text(words.strip()), int(flags, 0))
             for flags, title, words in (line.split("|", 2) for line in case["box"])]

    def differences(seen: launchers.Observation) -> list[str]:
        # A launcher that cannot see icons reports None; title and text still count.
        icons = None not in (box[2] for box in seen.boxes)
        return (compare("exit status", int(case["exit"]), seen.exit_status)
                + compare("standard output", decode(case["stdout"], values), seen.stdout)
                + compare("boxes", [b if icons else (*b[:2], None) for b in boxes], seen.boxes)
                + compare("browser addresses", [text(a) for a in case["open"]], seen.opened)
                + compare("unaccounted output", [], seen.stray))

    behaviour, repeat = case["behaviour"], int(case["repeat"])
    hosts = os.path.join(workdir, "hosts")
    with open(hosts, "w") as lines:
        lines.write("127.0.0.1 localhost\n")
        if behaviour != "no-hosts-entry":
            lines.write(f"127.0.0.1 {options.host}\n")
    subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
    # The launcher sets up the desktop and the browser; the caller's must not leak in.
    env = {name: value for name, value in os.environ.items()
           if name not in ("BROWSER", "DISPLAY", "WAYLAND_DISPLAY")}
    env.update(setting.split("=", 1) for setting in case["env"])
    service = start_service(case, values, workdir, options.service)
    found = []
    try:
        for run in range(1, repeat + 1):
            rundir = os.path.join(workdir, f"run-{run}")  # the recorders' logs append
            os.mkdir(rundir)
            with open(os.path.join(rundir, "input.bin"), "wb") as input_file:
                input_file.write(content)
            seen = launch(options.program, case["args"].split(), rundir, env,
                          case["desktop"] == "yes", case["stdout_to"] == "file")
            found = differences(seen)
            for address in seen.opened if case["page_contains"] and not found else []:
                found += page_differences(address, [text(t) for t in case["page_contains"]])
            if found:
                found.insert(0, f"run {run} of {repeat}:")
                break
    finally:
        found += service.stop() if service else []
        if found and isinstance(service, RealService):
            found.append(f"the service's log ends:\n{service.log()[-1500:]}")
    if behaviour == "normal":
        found += compare("request received", (
            f"POST /qn/en/consultamd5 HTTP/1.0\r\nHost: {options.host}\r\n"
            f"User-Agent: el.Agent [by el.Quo]\r\nContent-Length: 48\r\n\r\n"
            f"hash={values['DIGEST']}&x=166&y=22").encode(), service.request)
    return found


def program_path(text: str) -> str:
    """A Windows path (C:\\...) names an installed program, run under Wine as it is."""
    return text if re.match(r"[A-Za-z]:\\", text) else os.path.abspath(text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, type=program_path,
                        help="the built lookup program, or an installed one's Windows path")
    parser.add_argument("--host", required=True, help="the service host it was built with")
    parser.add_argument("--launcher", choices=("native", "wine"), default="native")
    parser.add_argument("--service", type=os.path.abspath,
                        help="the built service, for cases of behaviour real")
    parser.add_argument("case", help="the case file")
    options = parser.parse_args()
    outside = in_namespace()
    if outside is not None:
        return outside

    with tempfile.TemporaryDirectory(prefix="e2e-") as workdir:
        differences = run_case(options.case, workdir, options, getattr(launchers, options.launcher))
    print("FAIL" if differences else "ok", *differences, sep="\n  ")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
