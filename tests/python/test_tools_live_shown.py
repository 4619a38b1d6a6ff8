"""marlune live as a listener sees it: music played into a real audio server shows up, while it
sounds, in the terminal display (run in tmux) and on the page (open in headless Chromium)."""

import shlex
import socket

from conftest import marlune_command
from test_tools_live import MELODY, melody_file, read_csv  # noqa: F401 (melody_file is a fixture)

from marlune_tools.notes import note_name


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_the_notes_played_are_shown_in_the_terminal_and_the_browser(pulse, tmux, browser, tmp_path, melody_file):
    port = free_port()
    # tmux starts its programs with its server's environment: the audio server's is passed on.
    server = [f"{name}={value}" for name, value in pulse.env.items() if name.startswith(("PULSE_", "XDG_", "HOME"))]
    live = marlune_command("live", "--device", "pulse", "--web", port, "--csv", tmp_path / "heard.csv")
    terminal = tmux(f"{shlex.join(['env', *server, *live])}; echo status $?; sleep 60", 100, 32)
    pulse.wait_for(pulse.recording, "recording client")
    page = browser.tab(f"http://127.0.0.1:{port}/")
    page.wait_for("document.body.dataset.state === 'connected'")
    pulse.play(melody_file)
    played = [note_name(note.pitch) for note in MELODY.notes]
    # The page lists the notes that ended, newest first; the roll shows the last 6 s.
    page.wait_for(f"document.getElementById('recent').dataset.notes.split(' ').length === {len(played)}")
    assert page.evaluate("document.getElementById('recent').dataset.notes").split() == played[::-1]
    assert int(page.evaluate("document.getElementById('spectrogram').dataset.lit")) > 0
    rows = terminal.screen()
    # Each note's name is on its bar, in the row labelled with it.
    assert all(any(row[:3].strip() == name and name in row[3:] for row in rows) for name in played), rows
    assert "dropped 0" in rows[-1], rows
    terminal.run("send-keys", "-t", "main", "C-c")
    rows = terminal.wait_for(lambda rows: any(row.startswith("status ") for row in rows), "the command's end")
    assert "status 0" in rows, rows
    assert [pitch for _, pitch in read_csv(tmp_path / "heard.csv")] == [note.pitch for note in MELODY.notes]
