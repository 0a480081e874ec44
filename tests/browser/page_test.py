#!/usr/bin/env python3
"""The service's pages in a real browser: page_test.py SERVICE OUTPUT"""
# Headless Chromium, the pages' own scripts off, loads the search page, types
# a held and an unknown MD5 into its form and clicks its button, as a person
# does. The pages are photographed at a desktop and at a phone width into
# OUTPUT, a folder that exists. Exits 77 (skip) where namespaces or Chromium
# are missing, unless CI is set.

import base64
import contextlib
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from chromium import Chromium  # noqa: E402
from real_service import RealService, cannot_test, in_namespace  # noqa: E402

ORIGIN = "http://127.0.0.1"
HELD = "00112233445566778899aabbccddeeff"
UNKNOWN = "ffffffffffffffffffffffffffffffff"
# Markup and quotes in a name must reach the person as text, not as markup.
HELD_NAME = '/opt/page-test/<b>bold</b> & "quoted".bin'
SOURCE = "page-test-list"
SIZES = {"desktop": (1280, 900, False), "phone": (390, 844, True)}


def photograph(browser: Chromium, name: str, output: str) -> list[str]:
    found = []
    for size, (width, height, mobile) in SIZES.items():
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
        # Wider than the window means the person has to scroll sideways.
        if not browser.evaluate("document.documentElement.scrollWidth <= window.innerWidth"):
            found.append(f"{name}: wider than a {width}-pixel {size} window")
        shot = browser.call("Page.captureScreenshot", {"captureBeyondViewport": True})
        with open(os.path.join(output, f"{name}-{size}.png"), "wb") as png:
            png.write(base64.b64decode(shot["data"]))
    return found


def search(browser: Chromium, digest: str) -> tuple[str, str]:
    # Returns the address and the visible text of the page that answers.
    browser.navigate(ORIGIN + "/buscaHash.html")
    browser.click("form input[name=hash]")
    browser.call("Input.insertText", {"text": digest})
    browser.load(lambda: browser.click("form button, form input[type=submit]"))
    return tuple(browser.evaluate("[location.pathname + location.search, document.body.innerText]"))


def check_pages(browser: Chromium, output: str) -> list[str]:
    browser.navigate(ORIGIN + "/buscaHash.html")
    found = photograph(browser, "search", output)
    for digest, name, page, texts in (
            (HELD, "report", f"/qn/en/report/{HELD}/", (HELD_NAME, "Good", SOURCE)),
            (UNKNOWN, "search-not-held", "/buscaHash.html?", ("not held",))):
        address, shown = search(browser, digest)
        if not address.startswith(page) or not all(text in shown for text in texts):
            found.append(f"search for {digest}: ended on {address} showing {shown[:300]!r}")
        found += photograph(browser, name, output)
    return found


def run(chromium: str, program: str, output: str) -> int:
    with tempfile.TemporaryDirectory(prefix="page-test-", ignore_cleanup_errors=True) as workdir:
        service = RealService(program, workdir, [f"{HELD}  {HELD_NAME}".encode()], import_args=(
            "--format", "md5sum", "--source", SOURCE, "--verdict", "good"))
        try:
            with contextlib.closing(Chromium(chromium, os.path.join(workdir, "profile"),
                                             os.path.join(output, "chromium.log"))) as browser:
                # The pages must work for a person whose browser runs no scripts.
                browser.call("Emulation.setScriptExecutionDisabled", {"value": True})
                found = check_pages(browser, output)
        finally:
            stopped = service.stop()
    print(*(f"FAIL: {problem}" for problem in found + stopped), f"screenshots: {output}/*.png",
          sep="\n")
    return 1 if found + stopped else 0


if __name__ == "__main__":
    # Without a browser there is no need for the namespaces.
    chromium = shutil.which("chromium")
    outside = in_namespace() if chromium else cannot_test("the Debian package chromium is missing")
    sys.exit(run(chromium, *map(os.path.abspath, sys.argv[1:3])) if outside is None else outside)
