#!/usr/bin/env python3
"""The service's pages in a real browser."""
# Headless Chromium, the pages' own scripts off, loads the report and search
# pages, then types a held and an unknown MD5 into the search form and clicks
# its button, as a person does. The pages are photographed at a desktop and at
# a phone width into --output. Exits 77 (skip) where namespaces or Chromium
# are missing, unless CI is set.

import argparse
import hashlib
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import chromium  # noqa: E402
from real_service import RealService, in_namespace  # noqa: E402
from run_cases import cannot_test  # noqa: E402

ORIGIN = "http://127.0.0.1"

HELD = hashlib.md5(b"held by the page test").hexdigest()
UNKNOWN = hashlib.md5(b"unknown to the page test").hexdigest()
# Markup and quotes in a name must reach the person as text, not as markup.
HELD_NAME = '/opt/page-test/<b>bold</b> & "quoted".bin'
SOURCE = "page-test-list"
REPORT = f"/qn/en/report/{HELD}/quellarion-brantwicker-file-report.html"

SIZES = {"desktop": (1280, 900, False), "phone": (390, 844, True)}

VISIBLE_TEXT = "document.body.innerText"
# Wider than the window means the person has to scroll sideways.
FITS = "document.documentElement.scrollWidth <= window.innerWidth"
FORM_FIELD = "form input:not([type=hidden]):not([type=submit])"
FORM_BUTTON = "form button, form input[type=submit]"


def photograph(browser: chromium.Chromium, name: str, output: str, found: list[str]) -> None:
    for size, (width, height, mobile) in SIZES.items():
        browser.set_width(width, height, mobile)
        if not browser.evaluate(FITS):
            found.append(f"{name}: wider than a {width}-pixel {size} window")
        browser.screenshot(os.path.join(output, f"{name}-{size}.png"))
    browser.call("Emulation.clearDeviceMetricsOverride")


def submit_search(browser: chromium.Chromium, digest: str) -> tuple[str, str]:
    # Returns the address and the visible text of the page that answers.
    browser.navigate(ORIGIN + "/buscaHash.html")
    browser.type_into(FORM_FIELD, digest)
    browser.load(lambda: browser.click(FORM_BUTTON))
    return browser.evaluate("location.pathname + location.search"), browser.evaluate(VISIBLE_TEXT)


def check_pages(browser: chromium.Chromium, output: str) -> list[str]:
    found: list[str] = []

    browser.navigate(ORIGIN + REPORT)
    text = browser.evaluate(VISIBLE_TEXT)
    dom = browser.evaluate("document.documentElement.outerHTML")
    for should, holds in (
        ("show the file's name as text", HELD_NAME in text),
        ("show the verdict", "good" in text.lower()),
        ("show the source", SOURCE in text),
        ("hold no markup from the name", "<b>bold</b>" not in dom),
        ("link to the record as JSON", f'href="/api/v1/md5/{HELD}"' in dom),
    ):
        if not holds:
            found.append(f"report page: does not {should}")
    photograph(browser, "report", output, found)

    browser.navigate(ORIGIN + "/buscaHash.html")
    photograph(browser, "search", output, found)

    address, text = submit_search(browser, HELD)
    if not address.startswith(f"/qn/en/report/{HELD}") or HELD_NAME not in text:
        found.append(f"search for a held MD5: ended on {address} showing {text[:200]!r}")

    address, text = submit_search(browser, UNKNOWN)
    photograph(browser, "search-not-held", output, found)
    if not address.startswith("/buscaHash.html") or "not held" not in text:
        found.append(f"search for an unknown MD5: ended on {address} showing {text[:200]!r}")

    elsewhere = [url for url in browser.requested_urls() if not url.startswith(ORIGIN + "/")]
    if elsewhere:
        found.append(f"pages asked for things from elsewhere: {elsewhere}")
    return found


def run(service_program: str, output: str) -> int:
    program = chromium.find()
    if program is None:
        return cannot_test("Chromium is not installed (Debian package chromium)")
    with tempfile.TemporaryDirectory(prefix="page-test-") as workdir:
        service = RealService(service_program, workdir, [f"{HELD}  {HELD_NAME}".encode()],
                              import_args=("--format", "md5sum", "--source", SOURCE,
                                           "--verdict", "good"))
        found: list[str] = []
        try:
            browser = chromium.Chromium(program, os.path.join(output, "chromium.log"))
            try:
                # The pages must work for a person whose browser runs no scripts.
                browser.call("Emulation.setScriptExecutionDisabled", {"value": True})
                found = check_pages(browser, output)
            finally:
                browser.close()
        finally:
            found += service.stop()
    for problem in found:
        print(f"FAIL: {problem}")
    print(f"screenshots: {output}/*.png")
    return 1 if found else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--service", required=True, help="the built brantwicker-service")
    parser.add_argument("--output", required=True, help="folder for screenshots and logs")
    options = parser.parse_args()
    outside = in_namespace()
    if outside is not None:
        sys.exit(outside)
    output = os.path.abspath(options.output)
    shutil.rmtree(output, ignore_errors=True)
    os.makedirs(output)
    sys.exit(run(os.path.abspath(options.service), output))
