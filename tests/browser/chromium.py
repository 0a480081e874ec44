# Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe):
# JSON messages, each ended by a NUL byte, written to the browser's fd 3 and
# read from its fd 4. Every wait is bounded: a browser that stops answering
# raises TimeoutError.

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

# Without these a headless browser keeps trying to reach outside services,
# which in a closed network namespace only slows it down and fills its log.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--mute-audio",
         "--remote-debugging-pipe"]
WAIT_SECONDS = 20.0


def find() -> str | None:
    return shutil.which("chromium") or shutil.which("chromium-browser")


class Chromium:
    def __init__(self, program: str, log_path: str):
        self._profile = tempfile.mkdtemp(prefix="chromium-profile-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def pipes_at_3_and_4() -> None:
            # Moved out of the way first, so that one dup2 cannot close the other.
            r, w = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(r, 3)
            os.dup2(w, 4)

        self._log = open(log_path, "wb")
        self._process = subprocess.Popen(
            [program, *FLAGS, f"--user-data-dir={self._profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=subprocess.STDOUT,
            pass_fds=(3, 4), preexec_fn=pipes_at_3_and_4, start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer, self._next_id, self._session = b"", 0, None
        self.events: list[dict] = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self.call("Target.attachToTarget",
                                  {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network", "Runtime"):
            self.call(f"{domain}.enable")

    def close(self) -> None:
        try:
            self._session = None
            self.call("Browser.close", timeout=5)
        except (OSError, TimeoutError, RuntimeError):
            pass
        try:
            self._process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, 9)
            self._process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self._log.close()
        shutil.rmtree(self._profile, ignore_errors=True)

    def _receive(self, deadline: float) -> dict:
        # The next message; events are also kept in `events`.
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise TimeoutError("the browser did not answer in time")
            chunk = os.read(self._from_browser, 65536)
            if not chunk:
                raise RuntimeError("the browser closed its DevTools pipe")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        message = json.loads(message)
        if "method" in message:
            self.events.append(message)
        return message

    def call(self, method: str, params: dict | None = None, timeout: float = WAIT_SECONDS) -> dict:
        # One command, to the page once attached to it.
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session:
            message["sessionId"] = self._session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while (reply := self._receive(deadline)).get("id") != self._next_id:
            pass
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def load(self, action) -> None:
        # Does `action` (a callable) and waits for the page it leads to.
        since = len(self.events)
        action()
        deadline = time.monotonic() + WAIT_SECONDS
        while not any(e["method"] == "Page.loadEventFired" for e in self.events[since:]):
            self._receive(deadline)

    def navigate(self, url: str) -> None:
        self.load(lambda: self.call("Page.navigate", {"url": url}))

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def set_width(self, width: int, height: int, mobile: bool) -> None:
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})

    def screenshot(self, path: str) -> None:
        shot = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})
        with open(path, "wb") as png:
            png.write(base64.b64decode(shot["data"]))

    def click(self, selector: str) -> None:
        # A real mouse click in the middle of the element.
        box = self.evaluate(
            f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
            " if (!e) return null; e.scrollIntoView(); const r = e.getBoundingClientRect();"
            " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
        if box is None:
            raise RuntimeError(f"no element {selector!r} on {self.evaluate('location.href')}")
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", {"type": kind, "x": box[0], "y": box[1],
                                                   "button": "left", "clickCount": 1})

    def type_into(self, selector: str, text: str) -> None:
        self.click(selector)
        self.call("Input.insertText", {"text": text})

    def requested_urls(self) -> list[str]:
        return [event["params"]["request"]["url"] for event in self.events
                if event["method"] == "Network.requestWillBeSent"]
