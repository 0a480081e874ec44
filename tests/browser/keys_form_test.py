#!/usr/bin/env python3
"""The upload form with a key, in a browser: keys_form_test.py SERVICE OUTPUT"""
# In private namespaces, with a real clamd and the service run with a keys
# file: headless Chromium (scripts off) fills the search page's upload form,
# its key field and its file, as a person would, and sends it. The right key
# lands on the file's report; a wrong key and an empty one land on a page
# that says why, and the file is not stored. This proves the form as a
# browser sends it: the key field before the file. Exits 77 (skip) where
# namespaces, Chromium or clamd are missing, unless CI is set.

import contextlib
import hashlib
import json
import os
import random
import shutil
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from chromium import Chromium  # noqa: E402
from real_clamd import RealClamd, clamd_program  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

ORIGIN = "http://127.0.0.1"
KEY = "browser-Hn48-upload-key"


def send(browser: Chromium, path: str, key: str) -> tuple[str, str]:
    browser.navigate(f"{ORIGIN}/buscaHash.html")
    field = browser.call("Runtime.evaluate", {
        "expression": "document.querySelector('form[action=\"/scan\"] input[type=file]')"})
    browser.call("DOM.setFileInputFiles", {"files": [path], "objectId": field["result"]["objectId"]})
    # `required` would stop an empty key in the browser; a person may
    # still send one with another client, so it is taken off here.
    browser.evaluate("(f => { f.required = false; f.value = %s; })"
                     "(document.querySelector('form[action=\"/scan\"] input[name=key]'))" % json.dumps(key))
    browser.load(lambda: browser.click('form[action="/scan"] button'))
    return tuple(browser.evaluate("[location.pathname, document.body.innerText]"))


def stored(content: bytes) -> bool:
    try:
        with urllib.request.urlopen(f"{ORIGIN}/api/v1/sha256/{hashlib.sha256(content).hexdigest()}",
                                    timeout=5):
            return True
    except urllib.error.HTTPError:
        return False


def run(options) -> int:
    with tempfile.TemporaryDirectory(prefix="keys-form-", ignore_cleanup_errors=True) as workdir:
        keys = os.path.join(workdir, "keys.txt")
        with open(keys, "w") as out:
            out.write(f"browser {hashlib.sha256(KEY.encode()).hexdigest()}\n")
        clamd = RealClamd(workdir, {}, 1 << 20)
        service, found = None, []
        try:
            service = RealService(options.service, workdir, [], serve_args=(
                "--clamd", clamd.link, "--api-keys", keys))
            with contextlib.closing(Chromium(options.chromium, os.path.join(workdir, "profile"),
                                             os.path.join(options.output, "chromium-keys.log"))) as browser:
                browser.call("Emulation.setScriptExecutionDisabled", {"value": True})
                for seed, key, lands, words in (
                        (1, "not-" + KEY, "/scan", ("Wrong key", "not one this service knows")),
                        (2, "", "/scan", ("Key needed",)),
                        (3, KEY, "/qn/en/report/", ("nothing found",))):
                    content = random.Random(seed).randbytes(4000)
                    path = os.path.join(workdir, f"file-{seed}.bin")
                    with open(path, "wb") as out:
                        out.write(content)
                    address, shown = send(browser, path, key)
                    if not address.startswith(lands) or not all(word in shown for word in words):
                        found.append(f"key {key!r}: landed on {address} showing {shown[:300]!r}")
                    if stored(content) != (lands != "/scan"):
                        found.append(f"key {key!r}: stored is {stored(content)}")
        finally:
            found += service.stop() if service else []
            clamd.stop()
            if found and service:
                found.append(f"the service's log ends:\n{service.log()[-1500:]}")
    print(*(f"FAIL: {problem}" for problem in found), f"3 forms, {len(found)} problems", sep="\n")
    return 1 if found else 0


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("service", "output"):
        parser.add_argument(name)
    options = parser.parse_args()
    options.service, options.output = map(os.path.abspath, (options.service, options.output))
    options.chromium = shutil.which("chromium")
    missing = ("the Debian package chromium is missing" if not options.chromium else
               "the Debian package clamav-daemon is missing" if not clamd_program() else None)
    outside = cannot_test(missing) if missing else in_namespace()
    sys.exit(run(options) if outside is None else outside)
