"""The live display in a terminal: real frames played through it inside tmux, the screen read back."""

import dataclasses
import io
import re
import shlex
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import write_audio
from terminal_driver import PIECES

import renders
from marlune_tools.live.snapshot import Setup, Snapshot, Status
from marlune_tools.live.terminal import TerminalView
from marlune_tools.notes import Scale, note_name

DRIVER = Path(__file__).with_name("terminal_driver.py")
NAME = re.compile(r"[A-G]#?-?\d")
# Pitches 60 to 76 fit 80x24 with one semitone a row, so every row is labelled with its note.
MELODY = PIECES["melody"]()


def driver(*args, no_color=False):
    env = "env NO_COLOR=1" if no_color else "env -u NO_COLOR"
    return f"{env} {shlex.quote(sys.executable)} {shlex.quote(str(DRIVER))} {shlex.join(map(str, args))}"


def in_shell(command):
    """`command` run from a shell that marks the screen before and reports after: the exit
    status, and whether the terminal's mode (echo and the rest) is as it was."""
    script = (f'trap true INT; echo before; mode=$(stty -g); {command}; status=$?; '
              '[ "$(stty -g)" = "$mode" ] && kept=kept || kept=changed; echo "status $status, mode $kept"; '
              'exec sleep 600')
    return f"sh -c {shlex.quote(script)}"


def bars(rows):
    """The note names written on the roll, by row: (row, name, the row's label)."""
    return [(y, match.group(), row[:4].strip()) for y, row in enumerate(rows[1:-2], 1)
            for match in NAME.finditer(row[4:])]


@pytest.mark.parametrize("no_color", [False, True], ids=["colour", "NO_COLOR"])
def test_notes_on_their_rows_and_dropped_blocks_shown(tmux, render, tmp_path, no_color):
    wav = write_audio(tmp_path / "melody.wav", render(MELODY), renders.SAMPLE_RATE, "FLOAT")
    term = tmux(driver("--wav", wav, "--speed", 2, "--dropped", 7, "--then", "hold", no_color=no_color))
    rows = term.wait_for(lambda rows: len(bars(rows)) >= 4, "four named notes")
    played = {note_name(n.pitch) for n in MELODY.notes}
    assert {name for _, name, _ in bars(rows)} <= played
    assert all(name == label for _, name, label in bars(rows)), "\n".join(rows)
    assert "dropped 7" in rows[-1] and rows[-2].startswith(" peak ") and " now " in rows[-2]
    coloured = term.screen(colours=True)
    assert any("38;5;" in row or "48;5;" in row for row in coloured) != no_color


def test_the_screen_mends_after_another_program_writes_on_it(tmux):
    term = tmux(driver("--tone", 1.0, "--speed", 2, "--then", "hold"))
    # The tone over, the roll stands still: only a repaint can mend it. (Whether the scribbles
    # were seen is not asked: a repaint may come before the screen is read.)
    term.wait_for(lambda rows: rows[0].endswith("0:01.0") and "dropped 0" in rows[-1], "the tone's end")
    with open(term.run("display-message", "-p", "-t", "main", "#{pane_tty}").strip(), "w") as tty:
        tty.write("\x1b[5;10Hscribbled over\n" * 3)
    term.wait_for(lambda rows: "scribbled" not in "".join(rows) and fits(rows, 80, 24, dropped=0), "the display mended",
                  limit=10)


def fits(rows, width, height, dropped=3):
    """The screen is drawn for this size: the status last, the meter above it, the title (with
    the clock at its right end) on top, and the tone's note on the roll where there is room."""
    if len(rows) != height or not re.search(rf"\bdrop(ped)? {dropped}\b", rows[-1]):
        return False
    if height >= 2 and not re.match(r" (peak +)?(-inf|-?\d+\.\d) ?dB", rows[-2]):
        return False
    if height >= 5 and not (rows[0].startswith(" marlune live") and len(rows[0].rstrip()) == width - 1):
        return False
    if not rows[-2].endswith(" now A4"):
        return False
    return not (width >= 24 and height >= 12) or "A4" in [n for _, n, _ in bars(rows)]


def test_follows_resizes(tmux):
    term = tmux(driver("--tone", 1.5, "--speed", 2, "--dropped", 3, "--then", "hold"))
    term.wait_for(lambda rows: fits(rows, 80, 24), "the tone at 80x24")
    for width, height in [(120, 40), (50, 12), (30, 5), (16, 2), (100, 30)]:
        term.run("resize-window", "-t", "main", "-x", str(width), "-y", str(height))
        term.wait_for(lambda rows: fits(rows, width, height), f"the display redrawn at {width}x{height}")


@pytest.mark.parametrize("ending", ["the audio ends", "Ctrl-C", "an error"])
def test_terminal_given_back(tmux, ending):
    then = {"the audio ends": "exit", "Ctrl-C": "hold", "an error": "fail"}[ending]
    term = tmux(in_shell(driver("--tone", 1.0, "--speed", 2, "--then", then)))
    if ending == "Ctrl-C":
        term.wait_for(lambda rows: "dropped 0" in rows[-1], "the display")
        assert term.flags() == {"alternate_on": 1, "cursor_flag": 0, "wrap_flag": 0}
        term.run("send-keys", "-t", "main", "C-c")
    rows = term.wait_for(lambda rows: any(row.startswith("status ") for row in rows), "the shell again")
    assert term.flags() == {"alternate_on": 0, "cursor_flag": 1, "wrap_flag": 1}
    text = "\n".join(rows)
    assert rows[0] == "before" and "closed" in text and "mode kept" in text, text
    assert ("status 1," in text and "the audio source failed" in text) == (ending == "an error"), text


SCALE = Scale(60, 72)
SETUP = Setup("test", 48000.0, 480, 480, SCALE.numbers, SCALE.frequencies, 0.0, 20)


@pytest.mark.parametrize("numbers, rate, hop", [
    (SCALE.numbers[::-1], 48000.0, 480),  # falling: rows would map to the wrong keys
    (np.r_[SCALE.numbers[:-1], np.nan], 48000.0, 480),
    (SCALE.numbers[:0], 48000.0, 480),
    (SCALE.numbers, 0.0, 480),
    (SCALE.numbers, 48000.0, 0),
])
def test_a_setup_that_cannot_describe_a_run_is_refused(numbers, rate, hop):
    with pytest.raises(ValueError, match="rising sequence|positive sample rate"):
        Setup("test", rate, 480, hop, numbers, SCALE.frequencies, 0.0, 20)


def snapshot(levels, peak_db=-6.0):
    return Snapshot(0.01, np.asarray(levels, np.float32), peak_db, (), (), Status(0.01, 0, 0, 0, 0, 0))


def test_opening_twice_is_refused_and_closing_twice_writes_nothing_but_reopening_draws_again():
    out = io.StringIO()
    view = TerminalView(out)
    view.open(SETUP)
    view.show(snapshot(np.zeros((1, len(SCALE)))))
    with pytest.raises(RuntimeError, match="open already"):
        view.open(SETUP)
    view.close()
    written = out.getvalue()
    view.close()
    view.show(snapshot(np.zeros((1, len(SCALE)))))
    assert out.getvalue() == written and written.endswith("\x1b[?25h\x1b[?1049l")
    view.open(SETUP)  # once more, on a fresh screen: drawn whole again
    assert out.getvalue()[len(written):].count(" marlune live · test") == 1


@pytest.mark.parametrize("levels", [np.zeros((2, 3)), np.zeros(len(SCALE)), np.zeros((1, 2, len(SCALE)))],
                         ids=["too few channels", "one dimension", "three dimensions"])
def test_a_snapshot_that_does_not_fit_is_refused_and_changes_nothing(levels):
    out = io.StringIO()
    view = TerminalView(out)
    view.open(SETUP)
    with pytest.raises(ValueError, match=rf"shape \(frames, {len(SCALE)}\)"):
        view.show(snapshot(levels, peak_db=0.0))
    view.show(snapshot(np.zeros((0, len(SCALE))), peak_db=-np.inf))
    view.close()
    assert "peak   -inf dBFS" in out.getvalue() and not re.search(r"peak +-?\d", out.getvalue())


def test_nan_levels_and_peak_are_drawn_as_silence():
    out = io.StringIO()
    view = TerminalView(out)
    view.open(SETUP)
    view.show(snapshot(np.full((20, len(SCALE)), np.nan), peak_db=np.nan))  # two whole columns
    view.close()
    assert "nan" not in out.getvalue().lower()


@pytest.mark.parametrize("change", [dict(numbers=np.array([60.0, 60.0])), dict(numbers=np.zeros(0)), dict(hop=0),
                                    dict(sample_rate=float("nan"))], ids=["not rising", "empty", "hop 0", "rate NaN"])
def test_a_bad_setup_is_refused_before_the_screen_is_taken(change):
    out = io.StringIO()
    with pytest.raises(ValueError, match="setup's note numbers|positive sample rate"):
        TerminalView(out).open(dataclasses.replace(SETUP, **change))
    assert out.getvalue() == ""


def test_control_characters_in_the_source_name_are_shown_not_obeyed():
    out = io.StringIO()
    view = TerminalView(out)
    view.open(dataclasses.replace(SETUP, source="take\x1b]0;owned\x07\x1b[2J.wav"))
    view.close()
    assert "take?]0;owned??[2J.wav" in out.getvalue() and "owned\x07" not in out.getvalue()
