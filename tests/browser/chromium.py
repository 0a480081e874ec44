# Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe):
# JSON messages, each ended by a NUL byte, written to the browser's fd 3 and
# read from its fd 4. Every wait is bounded: a browser that stops answering
# raises TimeoutError.

import json
import os
import select
import signal
import subprocess
import time

# Without these a headless browser keeps trying to reach outside services,
# which in a closed network namespace only slows it down and fills its log.
FLAGS = ["--headless", "--no-sandbox", "--remote-debugging-pipe", "--disable-gpu", "--mute-audio",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--disable-quic", "--no-first-run"]
WAIT_SECONDS = 20.0


class Chromium:
    def __init__(self, program: str, profile: str, log_path: str):
        to_browser, self._to_browser = os.pipe()
        self._from_browser, from_browser = os.pipe()

        def pipes_at_3_and_4() -> None:
            # Copied out of the way first, so that one dup2 cannot close the other.
            r, w = os.dup(to_browser), os.dup(from_browser)
            os.dup2(r, 3)
            os.dup2(w, 4)

        with open(log_path, "wb") as log:
            self._process = subprocess.Popen(
                [program, *FLAGS, f"--user-data-dir={profile}", "about:blank"],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                pass_fds=(3, 4), preexec_fn=pipes_at_3_and_4, start_new_session=True)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer, self._next_id, self._session, self._loads = b"", 0, None, 0
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self.call("Target.attachToTarget",
                                  {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable")

    def close(self) -> None:
        os.killpg(self._process.pid, signal.SIGKILL)
        self._process.wait()

    def _receive(self, deadline: float) -> dict:
        # The next message; page loads are counted on the way.
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
        self._loads += message.get("method") == "Page.loadEventFired"
        return message

    def call(self, method: str, params: dict | None = None) -> dict:
        # One command, to the page once attached to it.
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session:
            message["sessionId"] = self._session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_SECONDS
        while (reply := self._receive(deadline)).get("id") != self._next_id:
            pass
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def load(self, action) -> None:
        # Does `action` (a callable) and waits for the page it leads to.
        since = self._loads
        action()
        deadline = time.monotonic() + WAIT_SECONDS
        while self._loads == since:
            self._receive(deadline)

    def navigate(self, url: str) -> None:
        self.load(lambda: self.call("Page.navigate", {"url": url}))

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def click(self, selector: str) -> None:
        # A real mouse click in the middle of the element.
        x, y = self.evaluate(f"(e => {{ e.scrollIntoView(); const r = e.getBoundingClientRect();"
                             f" return [r.x + r.width / 2, r.y + r.height / 2]; }})"
                             f"(document.querySelector({json.dumps(selector)}))")
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent",
                      {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1})
