"""The live view in a browser: a WebView fed snapshots of real music, read back from the page's DOM
and canvas in headless Chromium; and its server: where it listens, what it refuses, how it stops."""

import dataclasses
import errno
import http.client
import socket
import time

import numpy as np
import pytest
from conftest import live_snapshots

import renders
from marlune_tools.live.web import WebError, WebView
from marlune_tools.notes import Scale, note_name

HOP = 441  # 10 ms at the render's rate
SCALE = Scale(36, 96)
# A C major triad, then A4 alone: when the feed stops, A4 sounds and the triad has ended.
PIECE = renders.Piece("triad-then-a4", (
    renders.Note(0.2, 1.0, 60), renders.Note(0.2, 1.0, 64), renders.Note(0.2, 1.0, 67), renders.Note(1.1, 2.0, 69),
))
UNTIL = 1.6  # s fed to the page


@pytest.fixture(scope="module")
def feed(render):
    samples = render(PIECE)[: int(UNTIL * renders.SAMPLE_RATE)]
    return live_snapshots(samples, renders.SAMPLE_RATE, SCALE.numbers, HOP)


@pytest.fixture
def view():
    views = []

    def make(port=0):
        views.append(WebView(port))
        return views[-1]

    yield make
    for made in views:
        made.close()


def port_of(web):
    return int(web.url.rsplit(":", 1)[1].strip("/"))


def dom(tab, selector, key):
    return tab.evaluate(f"document.querySelector({selector!r}).dataset.{key}")


def newest_column(tab):
    """The brightness of each pixel of the canvas's newest column, top to bottom."""
    return np.array(tab.evaluate("""(() => {
        const c = document.getElementById("spectrogram");
        const d = c.getContext("2d").getImageData(c.width - 1, 0, 1, c.height).data;
        return Array.from({length: c.height}, (_, y) => d[4 * y] + d[4 * y + 1] + d[4 * y + 2]);
    })()"""))


def show_all(web, snapshots):
    for snapshot in snapshots:
        web.show(snapshot)
        time.sleep(0.002)  # about the pace of a replay at 20 times real speed


def assert_page_shows(tab, web, snapshots):
    """The page has drawn every frame it received and names what the last snapshot holds."""
    total = sum(len(s.levels) for s in snapshots)
    tab.wait_for(f"+document.getElementById('spectrogram').dataset.columns + +document.getElementById('status')"
                 f".dataset.lost === {total}")
    last = snapshots[-1]
    assert dom(tab, "#now", "notes") == " ".join(note_name(n.pitch) for n in last.sounding)
    ended = [e for s in snapshots for e in s.ended]
    assert dom(tab, "#recent", "notes") == " ".join(note_name(e.pitch) for e in reversed(ended[-14:]))
    assert int(dom(tab, "#spectrogram", "lit")) > 0
    # The canvas stacks the channels evenly, the lowest at the bottom: its brightest pixel in the
    # newest column lies on the loudest channel of the last frame.
    column = newest_column(tab)
    channel = len(SCALE) - 1 - int(np.argmax(column)) * len(SCALE) // len(column)
    assert channel == int(np.argmax(last.levels[-1]))


def test_the_page_names_the_notes_and_paints_the_levels(browser, view, feed):
    setup, snapshots = feed
    web = view()
    web.open(setup)
    tab = browser.tab(web.url)
    tab.wait_for("document.body.dataset.state === 'connected'")
    show_all(web, snapshots)
    assert_page_shows(tab, web, snapshots)
    assert "A4" in dom(tab, "#now", "notes").split() and {"C4", "E4", "G4"} <= set(dom(tab, "#recent", "notes").split())
    assert int(dom(tab, "#status", "lost")) == web.lost
    # Blocks that the analysis dropped are on the status line, also in a snapshot without frames.
    last = snapshots[-1]
    web.show(dataclasses.replace(last, levels=last.levels[:0], status=dataclasses.replace(last.status, dropped=3)))
    tab.wait_for("document.getElementById('status').dataset.dropped === '3'")
    assert "dropped blocks 3" in tab.evaluate("document.getElementById('status').textContent")
    tab.close()


def test_a_page_opened_late_gets_the_recent_past_and_reconnects_to_the_next_run(browser, view, feed):
    setup, snapshots = feed
    first = view()
    first.open(setup)
    show_all(first, snapshots)
    tab = browser.tab(first.url)
    assert_page_shows(tab, first, snapshots)
    port = port_of(first)
    first.close()
    tab.wait_for("document.body.dataset.state === 'reconnecting'")
    second = view(port)
    second.open(setup)
    show_all(second, snapshots[:30])
    assert_page_shows(tab, second, snapshots[:30])
    tab.close()


def test_close_ends_the_connection_of_an_open_page_and_the_run(browser, view, feed):
    setup, snapshots = feed
    web = view()
    web.open(setup)
    port = port_of(web)
    tab = browser.tab(web.url)
    tab.wait_for("document.body.dataset.state === 'connected'")
    show_all(web, snapshots[:10])
    web.close()
    web.close()
    web.show(snapshots[0])  # after close: nothing to show it to
    tab.wait_for("document.body.dataset.state === 'reconnecting'")
    with socket.create_server(("127.0.0.1", port)):  # the port is free again
        pass
    # Opened again, it is a new run: a page sees nothing of the first.
    web.open(setup)
    show_all(web, snapshots[8:14])
    again = browser.tab(web.url)
    assert_page_shows(again, web, snapshots[8:14])
    tab.close()
    again.close()


def test_a_client_that_never_reads_loses_frames_and_holds_nothing_up(view, feed):
    setup, snapshots = feed
    web = view()
    web.open(setup)
    port = port_of(web)
    stuck = socket.socket()
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stuck.connect(("127.0.0.1", port))
    stuck.sendall(f"GET /socket HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    # Tens of megabytes for a client that reads none of them: show must return every time.
    loud = dataclasses.replace(snapshots[-1], levels=np.zeros((40, len(SCALE)), np.float32))
    for _ in range(2500):
        web.show(loud)
    deadline = time.monotonic() + 30  # not a timing: the loop thread may still be queueing
    while web.lost == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert web.lost > 0 and web.lost % 40 == 0
    web.close()
    stuck.close()


def test_it_listens_on_127_0_0_1_only(view, feed):
    web = view()
    web.open(feed[0])
    assert web.url.startswith("http://127.0.0.1:")
    port = port_of(web)
    socket.create_connection(("127.0.0.1", port)).close()
    for family, address in [(socket.AF_INET, "127.0.0.2"), (socket.AF_INET6, "::1")]:
        with socket.socket(family) as other, pytest.raises(OSError) as refused:
            other.connect((address, port))
        assert refused.value.errno in (errno.ECONNREFUSED, errno.EADDRNOTAVAIL, errno.ENETUNREACH)


@pytest.mark.parametrize(("path", "headers", "status"), [
    ("/", {}, 200),
    ("/live.js", {}, 200),
    ("/nothing", {}, 404),
    ("/", {"Host": "attacker.example"}, 403),  # a foreign name resolved to 127.0.0.1
    ("/socket", {"Origin": "http://attacker.example"}, 403),  # another site's page
    ("/socket", {"Origin": "http://localhost:{port}"}, 101),
])
def test_what_the_server_answers(view, feed, path, headers, status):
    web = view()
    web.open(feed[0])
    port = port_of(web)
    upgrade = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
               "Sec-WebSocket-Version": "13"} if path == "/socket" else {}
    client = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    client.putrequest("GET", path, skip_host=True)
    for name, value in {"Host": f"127.0.0.1:{port}", **upgrade, **headers}.items():
        client.putheader(name, value.format(port=port))
    client.endheaders()
    answer = client.getresponse()
    assert answer.status == status
    if status == 200:
        assert answer.getheader("Content-Type").startswith("text/") and answer.read()
    client.close()


def test_a_port_in_use_is_one_clear_error(view, feed):
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        web = view(port)
        with pytest.raises(WebError) as error:
            web.open(feed[0])
    assert f"port {port} of 127.0.0.1 is in use" in str(error.value) and "\n" not in str(error.value)
    assert web.url is None
    web.show(feed[1][0])
    web.close()


@pytest.mark.parametrize("port", [-1, 65536, 80.0, "8765", True])
def test_a_port_that_is_no_port_is_refused(port):
    with pytest.raises(ValueError, match="port"):
        WebView(port)
