#!/usr/bin/env python3
"""The whole loop of an unknown file: scan_loop_test.py SERVICE PROGRAM HOST OUTPUT"""
# In private namespaces, with a real clamd on a database this test writes: the
# real program asks about a file the service does not know and gets the
# information box; headless Chromium (scripts off) opens the search page for
# its digest, sets the file in the upload form over DevTools and clicks the
# button; the report it lands on shows the scan's result; the program asks
# again and opens exactly that report's address. A file clamd finds and a
# clean one; then a zip made with Debian's zip under the password
# "s3cret", given in the form, holding a member clamd finds: the page shows
# the members' tree, and the program, asked about the member itself, opens
# the member's own report. Exits 77 (skip) where namespaces, Chromium or clamd are missing,
# unless CI is set.

import base64
import contextlib
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
import launchers  # noqa: E402
from chromium import Chromium  # noqa: E402
from real_clamd import UNOFFICIAL, RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

ORIGIN = "http://127.0.0.1"
SIGNATURE = "Brantwicker.Test.Hash-1"
MEMBER_NAME = "Brantwicker.Test.Member-1"
MEMBER = MEMBER_NAME + UNOFFICIAL
NOT_KNOWN = ("Quellarion Brantwicker [by el.Quo]", "Quellarion don't known this hash!", None)
FILES = {  # name: (content, words the report must show)
    "found.bin": (random.Random(1).randbytes(3000), ("Bad", SIGNATURE + UNOFFICIAL)),
    "clean.bin": (random.Random(2).randbytes(5000), ("nothing found",)),
}


def upload(browser: Chromium, digest: str, path: str, password: str = "") -> tuple[str, str]:
    # The not-held notice offers the upload: the form there is the one used.
    browser.navigate(f"{ORIGIN}/buscaHash.html?hash={digest}")
    field = browser.call("Runtime.evaluate", {
        "expression": "document.querySelector('form[action=\"/scan\"] input[type=file]')"})
    browser.call("DOM.setFileInputFiles", {"files": [path], "objectId": field["result"]["objectId"]})
    browser.evaluate(f"document.querySelector('form[action=\"/scan\"] input[name=password]').value"
                     f" = {json.dumps(password)}")
    browser.load(lambda: browser.click('form[action="/scan"] button'))
    return tuple(browser.evaluate("[location.pathname, document.body.innerText]"))


def check_file(name: str, workdir: str, options, browser: Chromium) -> list[str]:
    content, words = FILES[name]
    path = os.path.join(workdir, name)
    with open(path, "wb") as out:
        out.write(content)
    digest = hashlib.md5(content).hexdigest()
    report = f"/qn/en/report/{digest}/quellarion-brantwicker-file-report.html"
    env = {key: value for key, value in os.environ.items() if key not in ("BROWSER", "DISPLAY")}

    def ask(run: str) -> launchers.Observation:
        rundir = os.path.join(workdir, f"{name}-{run}")
        os.mkdir(rundir)
        return launchers.native(options.program, [path], rundir, env, False, False)

    found = []
    before = ask("before")
    if (before.boxes, before.opened) != ([NOT_KNOWN], []):
        found.append(f"{name}: before the scan the program showed {before.boxes}, opened {before.opened}")
    address, shown = upload(browser, digest, path)
    if address != report or not all(word in shown for word in words):
        found.append(f"{name}: the upload ended on {address} showing {shown[:400]!r}")
    shot = browser.call("Page.captureScreenshot", {"captureBeyondViewport": True})
    with open(os.path.join(options.output, f"scanned-{name}.png"), "wb") as png:
        png.write(base64.b64decode(shot["data"]))
    after = ask("after")
    if (after.boxes, after.opened) != ([], [f"http://{options.host}{report}"]):
        found.append(f"{name}: after the scan the program showed {after.boxes}, opened {after.opened}")
    return found + [f"{name}: {line}" for line in before.stray + after.stray]


def check_archive(workdir: str, options, browser: Chromium) -> list[str]:
    member = FILES["found.bin"][0] + b" inside"
    folder = os.path.join(workdir, "zipped")
    os.makedirs(os.path.join(folder, "payload"))
    with open(os.path.join(folder, "payload", "tool.exe"), "wb") as out:
        out.write(member)
    with open(os.path.join(folder, "readme.txt"), "w") as out:
        out.write("read me\n")
    path = os.path.join(workdir, "sample.zip")
    subprocess.run(["zip", "-q", "-P", "s3cret", path, "readme.txt", "payload/tool.exe"], cwd=folder,
                   check=True)
    with open(path, "rb") as made:
        digest = hashlib.md5(made.read()).hexdigest()
    member_path = os.path.join(folder, "payload", "tool.exe")
    member_report = (f"/qn/en/report/{hashlib.md5(member).hexdigest()}"
                     "/quellarion-brantwicker-file-report.html")
    address, shown = upload(browser, digest, path, "s3cret")
    found = []
    words = ("Members", "readme.txt", "payload/tool.exe", "bad", f"contains payload/tool.exe: {MEMBER}")
    if not address.startswith(f"/qn/en/report/{digest}/") or not all(w in shown for w in words):
        found.append(f"sample.zip: the upload ended on {address} showing {shown[:600]!r}")
    shot = browser.call("Page.captureScreenshot", {"captureBeyondViewport": True})
    with open(os.path.join(options.output, "scanned-sample.zip.png"), "wb") as png:
        png.write(base64.b64decode(shot["data"]))
    env = {key: value for key, value in os.environ.items() if key not in ("BROWSER", "DISPLAY")}
    rundir = os.path.join(workdir, "member-after")
    os.mkdir(rundir)
    asked = launchers.native(options.program, [member_path], rundir, env, False, False)
    if (asked.boxes, asked.opened) != ([], [f"http://{options.host}{member_report}"]):
        found.append(f"the zip's member: the program showed {asked.boxes}, opened {asked.opened}")
    return found + [f"the zip's member: {line}" for line in asked.stray]


def run(options) -> int:
    with tempfile.TemporaryDirectory(prefix="scan-loop-", ignore_cleanup_errors=True) as workdir:
        hosts = os.path.join(workdir, "hosts")
        with open(hosts, "w") as lines:
            lines.write(f"127.0.0.1 localhost\n127.0.0.1 {options.host}\n")
        subprocess.run(["mount", "--bind", hosts, "/etc/hosts"], check=True)
        clamd = RealClamd(workdir, {SIGNATURE: FILES["found.bin"][0],
                                    MEMBER_NAME: FILES["found.bin"][0] + b" inside"}, 1 << 20)
        service = None
        found = []
        try:
            service = RealService(options.service, workdir, [b"0" * 32 + b"  /opt/other.bin"],
                                  serve_args=("--clamd", clamd.link))
            with contextlib.closing(Chromium(options.chromium, os.path.join(workdir, "profile"),
                                             os.path.join(options.output, "chromium-scan.log"))) as browser:
                browser.call("Emulation.setScriptExecutionDisabled", {"value": True})
                for name in FILES:
                    found += check_file(name, workdir, options, browser)
                found += check_archive(workdir, options, browser)
        finally:
            found += service.stop() if service else []
            clamd.stop()
            if found and service:
                found.append(f"the service's log ends:\n{service.log()[-1500:]}")
    print(*(f"FAIL: {problem}" for problem in found), f"{len(FILES) + 1} files, {len(found)} problems",
          sep="\n")
    return 1 if found else 0


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("service", "program", "host", "output"):
        parser.add_argument(name)
    options = parser.parse_args()
    options.service, options.program, options.output = map(
        os.path.abspath, (options.service, options.program, options.output))
    options.chromium = shutil.which("chromium")
    missing = ("the Debian package chromium is missing" if not options.chromium else
               "the Debian package clamav-daemon is missing" if not clamd_program() else
               "the Debian package zip is missing" if not shutil.which("zip") else None)
    outside = cannot_test(missing) if missing else in_namespace()
    sys.exit(run(options) if outside is None else outside)
