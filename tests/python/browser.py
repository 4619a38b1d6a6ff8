"""Headless Chromium driven through the DevTools protocol: open a page, evaluate JavaScript in it,
take a screenshot.

Shared by the tests of the live page and the script that makes its picture for the README.
The protocol is JSON over a WebSocket, spoken here with the `websockets` client.
"""

from __future__ import annotations

import base64
import contextlib
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from typing import Any

CHROMIUM = "chromium"  # Debian's package of that name


def available() -> str | None:
    """None if Chromium can be started here, else what is missing."""
    if shutil.which(CHROMIUM) is None:
        return "chromium is not installed (Debian package chromium)"
    return None


class Browser:
    """One headless Chromium with a profile of its own; `tab(url)` opens a page in it."""

    def __init__(self, width: int = 1280, height: int = 720) -> None:
        from websockets.sync.client import connect

        self._profile = tempfile.TemporaryDirectory(prefix="marlune-chromium-")
        self._closing = contextlib.ExitStack()
        command = [
            CHROMIUM, "--headless", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
            "--disable-extensions", "--hide-scrollbars", "--mute-audio", f"--window-size={width},{height}",
            f"--user-data-dir={self._profile.name}", "--remote-debugging-port=0", "about:blank",
        ]
        if os.geteuid() == 0:
            command.insert(1, "--no-sandbox")  # Chromium refuses to sandbox itself as root
        # A process group of its own, so that closing ends Chromium's helper processes too.
        self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE, text=True, start_new_session=True)
        address = None
        said = []
        for line in self._process.stderr:  # type: ignore[union-attr]
            said.append(line)
            found = re.search(r"DevTools listening on (ws://\S+)", line)
            if found:
                address = found.group(1)
                break
        if address is None:
            self.close()
            raise RuntimeError("chromium did not start: " + "".join(said[-5:]))
        # The rest of what Chromium says is not read: it goes nowhere instead of filling the pipe.
        self._process.stderr.close()  # type: ignore[union-attr]
        self._socket = self._closing.enter_context(connect(address, max_size=None, open_timeout=30))
        self._ids = itertools.count(1)

    def call(self, method: str, attached: str | None = None, **params: Any) -> Any:
        """Sends one command and returns its result, skipping the events that come before it."""
        ident = next(self._ids)
        message: dict[str, Any] = {"id": ident, "method": method, "params": params}
        if attached is not None:
            message["sessionId"] = attached
        self._socket.send(json.dumps(message))
        while True:
            answer = json.loads(self._socket.recv(timeout=60))
            if answer.get("id") == ident:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def tab(self, url: str) -> Tab:
        target = self.call("Target.createTarget", url=url)["targetId"]
        attached = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        return Tab(self, target, attached)

    def close(self) -> None:
        self._closing.close()
        if self._process.poll() is None:
            os.killpg(self._process.pid, signal.SIGTERM)
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()
        self._profile.cleanup()


class Tab:
    def __init__(self, browser: Browser, target: str, attached: str) -> None:
        self._browser, self._target, self._attached = browser, target, attached

    def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page (JSON-like values)."""
        result = self._browser.call("Runtime.evaluate", self._attached, expression=expression, returnByValue=True,
                                    awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, limit: float = 30.0) -> Any:
        """Evaluates `expression` until it is truthy; returns its value. The limit only turns a page
        that never gets there into a failure."""
        deadline = time.monotonic() + limit
        while True:
            try:
                value = self.evaluate(expression)
            except RuntimeError as error:  # the page may still be loading
                value = error
            if value and not isinstance(value, RuntimeError):
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"the page never had {expression}; last value {value!r}")
            time.sleep(0.05)

    def resize(self, width: int, height: int) -> None:
        """Sets the page's viewport to width x height CSS pixels, one device pixel each."""
        self._browser.call("Emulation.setDeviceMetricsOverride", self._attached, width=width, height=height,
                           deviceScaleFactor=1, mobile=False)

    def screenshot(self, path: str | os.PathLike[str]) -> None:
        data = self._browser.call("Page.captureScreenshot", self._attached, format="png")["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self) -> None:
        self._browser.call("Target.closeTarget", targetId=self._target)
