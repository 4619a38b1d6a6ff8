"""The live display in a browser: a page served by the command itself, fed over a WebSocket.

    view = WebView(8765)        # port 0: any free port
    view.open(setup)            # serves http://127.0.0.1:8765/ on a thread of its own
    view.show(snapshot)         # hands the snapshot over and returns at once
    view.close()                # stops the server and its connections

The server (the `websockets` package, which answers the page's plain HTTP requests too) listens
on 127.0.0.1 only, and runs an event loop on its own thread. `show` encodes the snapshot once and
passes it to that loop, which queues it for each page. A page that reads too slowly, or not at
all, loses its oldest queued snapshots (counted in `lost`); the caller never waits for a browser.

What a page receives, in this order:
- one text message, the setup as JSON: the channels' note numbers, the hop and the sample rate,
  and how levels are coded;
- the last `HISTORY_SECONDS` of snapshots, so that a page opened late or reconnected is not blank;
- then one binary message per snapshot: a little-endian uint32 n, n bytes of JSON (the time, the
  index of the first row, the peak, the notes sounding and ended, the status), and the level rows,
  frames x channels bytes, each byte b meaning `FLOOR_DB + b * STEP_DB` dB (0: at or below the
  floor).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import errno
import json
import logging
import math
import secrets
import struct
import threading
from collections import deque
from importlib import resources
from typing import Any

import numpy as np
import numpy.typing as npt

from marlune_tools.live.snapshot import Setup, Snapshot

DEFAULT_PORT = 8765
HOST = "127.0.0.1"  # never all interfaces: what a microphone hears stays on this machine
FLOOR_DB = -120.0  # the level of byte 0
STEP_DB = 0.5  # dB per step of the byte; byte 255 is +7.5 dB
HISTORY_SECONDS = 10.0  # what a page that connects is sent first
BACKLOG = 25  # snapshots queued for one page (about a second) before its oldest are dropped
CLOSE_SECONDS = 0.5  # how long the pages may take to answer the close before they are cut off
SOCKET_PATH = "/socket"

# The page's files, as the package ships them: path -> (file, content type).
_FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/live.js": ("live.js", "text/javascript; charset=utf-8"),
}

# The server reports a broken request or connection as a log record. The command's terminal
# belongs to its own displays: records go where the application sends them, and nowhere if it
# sends them nowhere.
_LOG = logging.getLogger(__name__)
_LOG.addHandler(logging.NullHandler())


class WebError(OSError):
    """The page cannot be served; ``str(error)`` is one line that says why."""


class _Outbox:
    """The snapshots waiting to be sent to one page, oldest first, at most `BACKLOG`."""

    def __init__(self) -> None:
        self.messages: deque[tuple[int, bytes]] = deque()  # (frames, message)
        self.ready = asyncio.Event()
        self.closed = False

    def put(self, frames: int, message: bytes) -> int:
        """Queues a message; returns the frames of the one dropped to make room (0 if none)."""
        dropped = 0
        if len(self.messages) >= BACKLOG:
            dropped = self.messages.popleft()[0]
        self.messages.append((frames, message))
        self.ready.set()
        return dropped

    def end(self) -> None:
        self.closed = True
        self.ready.set()

    async def get(self) -> bytes | None:
        """The next message; None once the page has gone."""
        while not self.messages and not self.closed:
            self.ready.clear()
            await self.ready.wait()
        return None if self.closed else self.messages.popleft()[1]


class WebView:
    """The live display as a page in a browser, at `url` once open (see the module's notes)."""

    def __init__(self, port: int = DEFAULT_PORT) -> None:
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"the web view's port must be a whole number from 0 to 65535, not {port!r}")
        self.port = port
        self.url: str | None = None
        self.lost = 0  # level rows that some page never received because it read too slowly
        self._lock = threading.Lock()  # guards the hand-over to the loop against close
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._channels = 0
        self._frames = 0  # rows shown so far: the index of the next snapshot's first row
        # Owned by the loop's thread:
        self._outboxes: set[_Outbox] = set()
        self._connections: set[Any] = set()
        self._history: deque[tuple[int, bytes]] = deque()
        self._history_frames = 0
        self._history_limit = 0
        self._setup = ""
        self._pages: dict[str, tuple[bytes, str]] = {}
        self._hosts: set[str] = set()

    # ---- View ------------------------------------------------------------------------------------

    def open(self, setup: Setup) -> None:
        """Starts serving the page; raises `WebError` if the port cannot be had."""
        if self._thread is not None:
            raise RuntimeError("the web view is open already")
        try:
            import websockets  # noqa: F401
        except ImportError:
            raise WebError("the web view needs the websockets package: pip install 'marlune[tools]'") from None
        self._pages = {path: (_read(name), kind) for path, (name, kind) in _FILES.items()}
        numbers = np.asarray(setup.numbers, dtype=np.float64)
        self._channels = len(numbers)
        self._frames = 0
        self.lost = 0
        # A view opened again starts afresh: nothing of the previous run is sent to new pages.
        self._history.clear()
        self._history_frames = 0
        self._history_limit = max(1, math.ceil(HISTORY_SECONDS * setup.sample_rate / setup.hop))
        self._setup = json.dumps({
            "kind": "setup",
            "run": secrets.token_hex(8),  # a page that reconnects to another run starts afresh
            "source": setup.source,
            "sampleRate": setup.sample_rate,
            "block": setup.block,
            "hop": setup.hop,
            "numbers": [round(float(n), 4) for n in numbers],
            "inputLatency": _finite(setup.input_latency),
            "delayFrames": setup.delay_frames,
            "floorDb": FLOOR_DB,
            "stepDb": STEP_DB,
        }, separators=(",", ":"))
        loop = asyncio.new_event_loop()
        started: concurrent.futures.Future[int] = concurrent.futures.Future()
        thread = threading.Thread(target=self._serve, args=(loop, started), name="marlune web view", daemon=True)
        thread.start()
        try:
            port = started.result()
        except OSError as exc:
            thread.join()
            raise WebError(_bind_failure(self.port, exc)) from None
        except BaseException:
            # Interrupted (Ctrl-C) while the server starts: let it start, then stop it.
            try:
                started.result()
            except BaseException:
                pass
            else:
                loop.call_soon_threadsafe(loop.stop)
            thread.join()
            raise
        with self._lock:
            self._loop, self._thread = loop, thread
        self.url = f"http://{HOST}:{port}/"

    def show(self, snapshot: Snapshot) -> None:
        """Hands the snapshot to the server's thread; never waits for a page. Does nothing
        unless open."""
        with self._lock:
            loop = self._loop
            if loop is None:
                return
            levels = np.asarray(snapshot.levels, dtype=np.float32)
            if levels.ndim != 2 or levels.shape[1] != self._channels:
                raise ValueError(f"levels must have shape (frames, {self._channels}), not {levels.shape}")
            frames = len(levels)
            message = _encode(snapshot, levels, self._frames)
            self._frames += frames
            try:
                loop.call_soon_threadsafe(self._deliver, frames, message)
            except RuntimeError:  # the server's loop has ended on an error of its own: no page to show
                pass

    def close(self) -> None:
        """Stops the server and ends every page's connection; does nothing if not open."""
        with self._lock:
            loop, thread = self._loop, self._thread
            self._loop = self._thread = None
        if loop is None or thread is None:
            return
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        self.url = None

    # ---- the server's thread ---------------------------------------------------------------------

    def _serve(self, loop: asyncio.AbstractEventLoop, started: concurrent.futures.Future[int]) -> None:
        asyncio.set_event_loop(loop)
        try:
            server = loop.run_until_complete(self._start())
        except BaseException as exc:
            loop.close()
            started.set_exception(exc)
            return
        started.set_result(server.sockets[0].getsockname()[1])
        try:
            loop.run_forever()
        finally:
            for outbox in self._outboxes:
                outbox.end()
            server.close()  # the closing handshake with every page
            closed = loop.create_task(server.wait_closed())
            loop.run_until_complete(asyncio.wait([closed], timeout=CLOSE_SECONDS))
            if not closed.done():
                # A client that reads nothing never takes the close frame from its full buffer.
                for connection in self._connections:
                    connection.transport.abort()
                loop.run_until_complete(closed)
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    async def _start(self) -> Any:
        from websockets.asyncio.server import serve

        server = await serve(self._page, HOST, self.port, process_request=self._answer, logger=_LOG,
                             close_timeout=CLOSE_SECONDS, compression=None)
        port = next(iter(server.sockets)).getsockname()[1]
        # Only requests addressed to this machine by name or number: a page elsewhere that
        # renames itself to 127.0.0.1 (DNS rebinding) asks with its own host name.
        self._hosts = {f"{HOST}:{port}", f"localhost:{port}"}
        return server

    def _answer(self, connection: Any, request: Any) -> Any:
        """The plain HTTP answers: the page's files; None lets the WebSocket handshake go on."""
        from websockets.datastructures import Headers
        from websockets.http11 import Response

        if request.headers.get("Host") not in self._hosts:
            return connection.respond(403, "this page is served to 127.0.0.1 and localhost only\n")
        path = request.path.split("?", 1)[0]
        if path == SOCKET_PATH:
            # Browsers let any site open a WebSocket anywhere: only this page may listen.
            origin = request.headers.get("Origin")
            if origin is not None and origin[len("http://"):] not in self._hosts:
                return connection.respond(403, "only the live page may connect\n")
            return None
        if path not in self._pages:
            return connection.respond(404, "not found\n")
        body, kind = self._pages[path]
        headers = Headers([("Content-Type", kind), ("Content-Length", str(len(body))), ("Cache-Control", "no-store"),
                           ("Connection", "close")])
        return Response(200, "OK", headers, body)

    async def _page(self, connection: Any) -> None:
        """Sends one page the setup, the history, then every snapshot until it goes."""
        from websockets.exceptions import ConnectionClosed

        outbox = _Outbox()
        history = list(self._history)
        self._outboxes.add(outbox)
        self._connections.add(connection)
        gone = asyncio.ensure_future(connection.wait_closed())
        gone.add_done_callback(lambda _: outbox.end())
        try:
            await connection.send(self._setup)
            for _, old in history:
                await connection.send(old)
            while True:
                message = await outbox.get()
                if message is None:
                    break
                await connection.send(message)
        except ConnectionClosed:
            pass
        finally:
            self._outboxes.discard(outbox)
            self._connections.discard(connection)
            gone.cancel()

    def _deliver(self, frames: int, message: bytes) -> None:
        self._history.append((frames, message))
        self._history_frames += frames
        while self._history_frames > self._history_limit and len(self._history) > 1:
            self._history_frames -= self._history.popleft()[0]
        for outbox in self._outboxes:
            self.lost += outbox.put(frames, message)


def _read(name: str) -> bytes:
    try:
        body: bytes = (resources.files("marlune_tools.live") / "page" / name).read_bytes()
    except OSError as exc:
        raise WebError(f"the live page's file {name} is missing from the installation: {exc}") from None
    return body


def _bind_failure(port: int, exc: OSError) -> str:
    if exc.errno == errno.EADDRINUSE:
        return f"port {port} of {HOST} is in use: choose another (--web PORT), or 0 for any free port"
    if exc.errno == errno.EACCES:
        return f"port {port} of {HOST} needs privileges: choose one above 1023, or 0 for any free port"
    return f"cannot serve the page on {HOST}:{port}: {(exc.strerror or str(exc)).lower()}"


def _finite(value: float) -> float | None:
    """A number JSON can carry; None for an infinity or NaN (silence, or nothing measured yet)."""
    return round(float(value), 6) if math.isfinite(value) else None


def _encode(snapshot: Snapshot, levels: npt.NDArray[np.float32], first: int) -> bytes:
    status = snapshot.status
    head = json.dumps({
        "time": _finite(snapshot.time),
        "first": first,
        "rows": len(levels),
        "peak": _finite(snapshot.peak_db),
        "sounding": [[n.pitch, _finite(n.onset), n.velocity] for n in snapshot.sounding],
        "ended": [[_finite(e.onset), _finite(e.offset), e.pitch, e.velocity] for e in snapshot.ended],
        "status": {
            "heard": _finite(status.heard),
            "median": _finite(status.delay_median),
            "p999": _finite(status.delay_p999),
            "longest": _finite(status.longest),
            "dropped": status.dropped,
            "cpu": _finite(status.cpu),
        },
    }, separators=(",", ":")).encode()
    # NaN (a channel fed a NaN) reads as silence, +inf as the loudest step.
    steps = np.nan_to_num((levels - np.float32(FLOOR_DB)) / np.float32(STEP_DB), nan=0.0, posinf=255.0, neginf=0.0)
    rows: bytes = np.clip(np.rint(steps), 0, 255).astype(np.uint8).tobytes()
    return struct.pack("<I", len(head)) + head + rows
