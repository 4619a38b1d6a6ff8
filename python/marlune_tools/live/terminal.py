"""The live display in a terminal: a scrolling piano roll, a level meter, the notes sounding now
and the status line, drawn with plain ANSI sequences (any xterm-like terminal, tmux, screen).

     marlune live · USB Audio · 48 kHz                                       0:12.4
      E5            E5████████
     D#5
      D5     D5████          D5████████████
     ...
      C4 C4████████████████████████████████████████
     peak  -14.2 dBFS ████████████▌········  now C4 D5
     input latency 11.6 ms │ delay 2.1 ms median, 6.3 ms p99.9 │ dropped 0 │ CPU 7%

The roll has one semitone a row (two, in half blocks, when the notes on screen spread wider than
the rows), the newest column at the right, 80 ms a column. Each semitone's level is a shade and
the tracker's notes are bars with their names on them; the range follows the notes on screen.

Each `show` builds the screen's rows as text, compares them with the rows on screen and writes
only the rows that changed, in one write. The size is read at every `show`, so a resize is
followed at the next one (no signal handler: the display thread is not the main thread). Colours
are 256-colour SGR codes; with NO_COLOR set to anything but "" there are none, and the roll is
drawn with shade and block characters instead.
"""

from __future__ import annotations

import functools
import math
import os
import shutil
import sys
import threading
from collections import deque
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt

from marlune_tools.live.snapshot import Setup, Snapshot
from marlune_tools.notes import note_name

COLUMN_SECONDS = 0.08  # time per column of the roll: 80 columns hold 6 s
HISTORY = 1024  # columns kept, wider than any terminal
FLOOR_DB = -60.0  # levels below this are drawn as silence
SPAN_DB = 48.0  # the level colours run from FLOOR_DB to FLOOR_DB + SPAN_DB
ACTIVE_DB = 36.0  # a semitone within this of the loudest on screen counts as in use
METER_FLOOR_DB = -60.0  # the meter's left end
METER_FALL_DB = 24.0  # dB per second that the meter falls after a peak, so a peak stays readable
LABEL = 4  # columns of note names left of the roll ("C#4 ")
REPAINT = 25  # every this many redraws, every row is written again (once a second at 25 a second)

# Escape sequences: the alternate screen, the cursor, line wrapping (off, so that writing the last
# column never scrolls the screen), attributes.
ENTER = "\x1b[?1049h\x1b[?25l\x1b[?7l\x1b[2J"
LEAVE = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l"
CLEAR = "\x1b[0m\x1b[2J"
RESET = "\x1b[0m"

# 256-colour palette: level steps from near black through blue to cyan, notes in amber.
LEVELS = (237, 18, 19, 20, 26, 32, 38, 44, 50, 87)
SILENT = 0  # the terminal's own background
SOUNDING = 214  # notes sounding now
ENDED = 172  # notes that have ended
TEXT = 16  # note names on a note's bar
LABEL_DIM, LABEL_C, LABEL_ON = 242, 250, 214
METER = ((-12.0, 35), (-3.0, 178), (0.0, 160))  # green up to -12 dBFS, yellow to -3, red above
PLAIN_SHADES = " ·░▒▒▓"  # levels without colour, quietest first

# Pixel values of the roll: 0 silent, 1..len(LEVELS) level steps, then the notes.
_ENDED_PIXEL = len(LEVELS) + 1
_SOUNDING_PIXEL = len(LEVELS) + 2
_PIXELS = len(LEVELS) + 3


def no_color() -> bool:
    """NO_COLOR (https://no-color.org): set and not empty means no colours."""
    return bool(os.environ.get("NO_COLOR"))


@functools.lru_cache(maxsize=None)
def _sgr(fg: int | None, bg: int | None, bold: bool = False) -> str:
    codes = ["0"]
    if bold:
        codes.append("1")
    if fg is not None:
        codes.append(f"38;5;{fg}")
    if bg is not None:
        codes.append(f"48;5;{bg}")
    return "\x1b[" + ";".join(codes) + "m"


def _fit(text: str, width: int) -> str:
    return text[:width] if len(text) > width else text


def _ms(seconds: float) -> str:
    value = seconds * 1e3
    return "-" if not math.isfinite(value) else f"{value:.1f}" if value < 100 else f"{value:.0f}"


def _clock(seconds: float) -> str:
    minutes, rest = divmod(max(seconds, 0.0), 60.0)
    return f"{int(minutes)}:{rest:04.1f}"


class _Row:
    """One row of the screen as (style, text) runs."""

    def __init__(self) -> None:
        self.runs: list[tuple[str, str]] = []
        self.width = 0  # columns taken
        self._drawn: tuple[int, str] = (-1, "")  # the last render: rows reused by the roll keep it

    def add(self, style: str, text: str) -> _Row:
        self.runs.append((style, text))
        self.width += len(text)
        return self

    def render(self, width: int) -> str:
        """The row cut or padded to `width` columns, with its styles."""
        if self._drawn[0] == width:
            return self._drawn[1]
        if self.width <= width:
            text = "".join(style + text for style, text in self.runs) + RESET + " " * (width - self.width)
            self._drawn = (width, text)
            return text
        out, left = [], width
        for style, text in self.runs:
            if left <= 0:
                break
            text = text[:left]
            left -= len(text)
            out.append(style + text)
        return "".join(out) + RESET


class TerminalView:
    """The live display on a terminal (standard output unless `stream` is given): `open` takes
    the screen, `show` redraws what changed, `close` gives the terminal back as it was, also
    after an error and when called again."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stdout
        self._lock = threading.Lock()
        self._open = False
        self._color = not no_color()
        self._termios: tuple[int, list[Any]] | None = None
        self._size = (0, 0)
        self._screen: list[str] = []  # the rows on screen, as written
        self._redraws = 0
        self._cell = self._cells()

    # ---- lifecycle ---------------------------------------------------------------------------

    def open(self, setup: Setup) -> None:
        if self._open:
            raise RuntimeError("the terminal view is open already")
        semitones = np.rint(np.asarray(setup.numbers, dtype=np.float64)).astype(np.int64)
        self._setup = setup
        self._low = int(semitones.min())
        self._count = int(semitones.max()) - self._low + 1
        # Channels rise, so each semitone's channels are a run: its level is their loudest.
        keys = semitones - self._low
        self._starts = np.flatnonzero(np.r_[True, np.diff(keys) > 0])
        self._keys = keys[self._starts]
        self._per_column = max(1, round(COLUMN_SECONDS * setup.sample_rate / setup.hop))
        self._column_seconds = self._per_column * setup.hop / setup.sample_rate
        self._history = np.full((self._count, HISTORY), -np.inf, dtype=np.float32)
        self._frames = 0  # frames received
        self._ended: deque[tuple[int, float, float]] = deque()  # (pitch, onset, offset)
        self._sounding: list[tuple[int, float]] = []  # (pitch, onset)
        self._range: tuple[int, int] = (0, 0)  # (lowest pitch shown, semitones per row)
        self._meter = -math.inf
        self._time = 0.0
        self._last: Snapshot | None = None
        self._notes = 0  # notes ended so far
        self._widest = 256  # columns of the widest roll drawn: ended notes are kept for it
        self._roll_key: tuple[object, ...] = ()
        self._roll_rows: list[_Row] = []
        self._size = (0, 0)  # so the first redraw clears the screen and writes every row
        with self._lock:
            self._open = True
            self._quiet_input()
            self._write(ENTER)
            self._redraw()

    def show(self, snapshot: Snapshot) -> None:
        with self._lock:
            if not self._open:
                return
            self._take(snapshot)
            self._redraw()

    def close(self) -> None:
        # Waits for a `show` in progress, but not for ever: a terminal that stopped reading
        # must not keep the program from ending.
        locked = self._lock.acquire(timeout=1.0)
        try:
            if not self._open:
                return
            self._open = False
            self._write(LEAVE)
            self._restore_input()
        finally:
            if locked:
                self._lock.release()

    def __enter__(self) -> TerminalView:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # ---- the terminal ------------------------------------------------------------------------

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            # A terminal that is gone (hung up, closed) cannot be drawn on or given back.
            pass

    def _quiet_input(self) -> None:
        """Keys typed while the display runs are not echoed over it (the terminal's mode is kept
        and put back by `close`)."""
        try:
            import termios

            fd = sys.stdin.fileno()
            if not os.isatty(fd):
                return
            mode = termios.tcgetattr(fd)
            quiet = list(mode)
            quiet[3] = quiet[3] & ~termios.ECHO  # local flags
            termios.tcsetattr(fd, termios.TCSANOW, quiet)
            self._termios = (fd, mode)
        except (ImportError, OSError, ValueError, AttributeError):
            # No terminal on standard input (a pipe, a service): nothing to quieten.
            pass

    def _restore_input(self) -> None:
        if self._termios is None:
            return
        import termios

        fd, mode = self._termios
        self._termios = None
        try:
            termios.tcsetattr(fd, termios.TCSANOW, mode)
        except (OSError, termios.error):
            pass  # standard input went away: there is no mode left to restore

    def _terminal_size(self) -> tuple[int, int]:
        try:
            size = os.get_terminal_size(self._stream.fileno())
        except (OSError, ValueError, AttributeError):
            size = shutil.get_terminal_size()
        return size.columns, size.lines

    # ---- what was heard ------------------------------------------------------------------------

    def _take(self, snapshot: Snapshot) -> None:
        """Adds what the snapshot brings to the history; a snapshot that does not fit the setup
        raises ValueError and changes nothing."""
        channels = len(self._setup.numbers)
        levels = np.asarray(snapshot.levels, dtype=np.float32)
        if levels.size and (levels.ndim != 2 or levels.shape[1] != channels):
            raise ValueError(f"snapshot levels must have shape (frames, {channels}), not {levels.shape}")
        # A NaN (from a bank fed one) is drawn as silence, not as a colour of its own.
        levels = np.where(np.isnan(levels), -np.inf, levels)
        self._last = snapshot
        self._time = snapshot.time
        if levels.size:
            semis = np.full((len(levels), self._count), -np.inf, dtype=np.float32)
            semis[:, self._keys] = np.maximum.reduceat(levels, self._starts, axis=1)
            columns = (self._frames + np.arange(len(levels))) // self._per_column
            first = self._frames // self._per_column
            for column in np.unique(columns):
                value = semis[columns == column].max(axis=0)
                slot = int(column) % HISTORY
                if column == first and self._frames % self._per_column:
                    value = np.maximum(value, self._history[:, slot])  # a column begun earlier
                self._history[:, slot] = value
            self._frames += len(levels)
        for note in snapshot.ended:
            self._ended.append((note.pitch, note.onset, note.offset))
        self._notes += len(snapshot.ended)
        horizon = self._time - self._widest * self._column_seconds
        while self._ended and self._ended[0][2] < horizon:
            self._ended.popleft()
        self._sounding = [(note.pitch, note.onset) for note in snapshot.sounding]
        # The meter holds a peak and lets it fall slowly, as level meters do.
        elapsed = max(len(levels), 1) * self._setup.hop / self._setup.sample_rate
        peak = snapshot.peak_db if not math.isnan(snapshot.peak_db) else -math.inf
        self._meter = max(peak, self._meter - METER_FALL_DB * elapsed)
        if self._meter < METER_FLOOR_DB - SPAN_DB:
            self._meter = -math.inf  # fallen far below the meter: silence

    # ---- drawing -------------------------------------------------------------------------------

    def _redraw(self) -> None:
        width, height = self._terminal_size()
        out = []
        if (width, height) != self._size:
            self._size = (width, height)
            self._screen = []
            out.append(CLEAR)
        self._redraws += 1
        if self._redraws % REPAINT == 0:
            # Something else may have written to the terminal (a warning on standard error, a
            # message from the system): every row is written again now and then, and the screen
            # mends itself.
            self._screen = []
        rows = [row.render(width) for row in self._layout(width, height)]
        for y, text in enumerate(rows):
            if y >= len(self._screen) or self._screen[y] != text:
                out.append(f"\x1b[{y + 1};1H{text}")
        self._screen = rows
        if out:
            self._write("".join(out))

    def _layout(self, width: int, height: int) -> list[_Row]:
        """The rows from the top: a title, the roll, the meter with the notes now, the status
        line. A short terminal loses the title first, then the roll, then the meter."""
        status = self._status(width)
        if height <= 1:
            return [status][:height]
        meter = self._meter_row(width)
        if height == 2:
            return [meter, status]
        if height <= 4:
            return [*self._roll(width, height - 2), meter, status]
        return [self._title(width), *self._roll(width, height - 3), meter, status]

    def _style(self, fg: int | None = None, bg: int | None = None, bold: bool = False) -> str:
        if self._color:
            return _sgr(fg, bg, bold)
        return "\x1b[0;1m" if bold else RESET

    def _title(self, width: int) -> _Row:
        setup = self._setup
        # A device's or a file's name may hold control characters: shown, never obeyed.
        source = "".join(c if c.isprintable() else "?" for c in setup.source)
        left = f" marlune live · {source} · {setup.sample_rate / 1000:g} kHz"
        right = f"{_clock(self._time)} "
        left = _fit(left, max(width - len(right) - 1, 0))
        return _Row().add(self._style(bold=True), left).add(RESET, " " * (width - len(left) - len(right)) + right)

    def _status(self, width: int) -> _Row:
        status = self._last.status if self._last is not None else None
        latency = _ms(self._setup.input_latency)
        if status is None:
            median = p999 = "-"
            dropped, cpu = 0, 0.0
        else:
            median, p999 = _ms(status.delay_median), _ms(status.delay_p999)
            dropped, cpu = status.dropped, status.cpu
        # The longest text that fits; the dropped blocks are in every one of them.
        forms = [
            (f" input latency {latency} ms │ delay {median} ms median, {p999} ms p99.9 │ ", "dropped",
             f" │ CPU {cpu:.0%}"),
            (f" latency {latency} ms │ delay {median}/{p999} ms │ ", "dropped", f" │ CPU {cpu:.0%}"),
            (f" lat {latency} dly {median}/{p999} ms ", "drop", f" cpu {cpu:.0%}"),
            ("", "drop", f" cpu {cpu:.0%}"),
            ("", "drop", ""),
        ]
        for before, word, after in forms:
            if len(before) + len(word) + len(str(dropped)) + 1 + len(after) <= width:
                break
        alarm = self._style(fg=196, bold=True) if dropped else self._style(bold=True)
        dim = self._style(fg=250)
        return _Row().add(dim, before).add(alarm, f"{word} {dropped}").add(dim, after)

    def _meter_row(self, width: int) -> _Row:
        """The peak level with its meter, then the notes sounding now. Where the width is short
        the meter goes first, then the words: the notes stay as long as they can."""
        value = self._meter
        number = f"{value:6.1f}" if math.isfinite(value) else "  -inf"
        names = " ".join(note_name(p) for p, _ in self._sounding) or "-"
        peak = f" peak {number} dBFS "
        now = f" now {names}"
        bar = min(24, width // 4, width - len(peak) - len(now) - 1)
        if len(peak) + len(now) > width:
            peak = f" {number.strip()}dB"
        row = _Row().add(RESET, peak)
        if bar >= 4:
            filled = 0.0 if not math.isfinite(value) else (value - METER_FLOOR_DB) / -METER_FLOOR_DB * bar
            filled = min(max(filled, 0.0), float(bar))
            cells = int(filled)
            for i in range(cells):
                db = METER_FLOOR_DB + (i + 1) * -METER_FLOOR_DB / bar
                colour = next(c for limit, c in METER if db <= limit or limit == 0.0)
                row.add(self._style(fg=colour), "█")
            if cells < bar:
                half = "▌" if filled - cells >= 0.5 else ""
                row.add(self._style(fg=METER[0][1]), half).add(self._style(fg=238), "·" * (bar - cells - len(half)))
            row.add(RESET, " ")
        row.add(self._style(fg=250), now[:5]).add(self._style(fg=SOUNDING, bold=True), now[5:])
        return row

    # ---- the roll ------------------------------------------------------------------------------

    def _shown(self, low: int, high: int, capacity: int) -> tuple[int, int]:
        """(lowest pitch shown, semitones per row) for the pitches in use, low to high, on
        `capacity` rows. The view stays put while what is in use fits it, so it does not jitter."""
        top = self._low + self._count - 1
        current, per_row = self._range
        if per_row and (per_row == 1 or high - low + 1 > capacity):
            if current <= low and high < current + per_row * capacity:
                return self._range
        per_row = 1 if high - low + 1 <= capacity else 2
        span = per_row * capacity
        base = (low + high + 1) // 2 - span // 2
        base = max(min(base, top - span + 1), self._low) if span <= self._count else self._low
        return base, per_row

    def _roll(self, width: int, rows: int) -> list[_Row]:
        """The roll's rows up to the last whole column: drawn again only when a column is
        completed, a note starts or ends, or the size changes (most shows reuse them)."""
        if rows <= 0:
            return []
        now = self._frames // self._per_column - 1  # the last whole column
        key = (now, width, rows, self._notes, tuple(self._sounding))
        if key != self._roll_key:
            self._roll_key, self._roll_rows = key, self._draw_roll(width, rows, now)
        return self._roll_rows

    def _draw_roll(self, width: int, rows: int, now: int) -> list[_Row]:
        label = LABEL if width >= 24 else 0
        columns = max(width - label, 1)
        self._widest = max(self._widest, columns)
        first = now - columns + 1
        slots = np.arange(first, now + 1)
        notes = [(p, on, off, _ENDED_PIXEL) for p, on, off in self._ended]
        notes += [(p, on, math.inf, _SOUNDING_PIXEL) for p, on in self._sounding]
        bars = []
        for pitch, onset, offset, pixel in notes:
            start = int(onset / self._column_seconds) - first
            end = now - first if offset == math.inf else int(offset / self._column_seconds) - first
            if end < 0 or start >= columns or not 0 <= pitch - self._low < self._count:
                continue
            bars.append((pitch, max(start, 0), min(end, columns - 1), pixel, start < 0))
        # The range in use: the notes on screen; before any, the semitones near the loudest.
        pitches = self._in_use([p for p, _, _, pixel, _ in bars if pixel == _SOUNDING_PIXEL],
                               [p for p, _, _, pixel, _ in reversed(bars) if pixel == _ENDED_PIXEL], 2 * rows)
        if not pitches:
            levels = self._history[:, slots % HISTORY]
            levels[:, slots < 0] = -np.inf
            used = np.flatnonzero((levels >= max(FLOOR_DB, float(levels.max()) - ACTIVE_DB)).any(axis=1))
            pitches = [int(k) + self._low for k in used[[0, -1]]] if len(used) else []
        if pitches:
            self._range = self._shown(min(pitches), max(pitches), rows)
        elif not self._range[1]:
            self._range = self._shown(60, 60, rows)  # nothing heard yet: around middle C
        base, per_row = self._range
        # Pixels: one per semitone shown (lowest first) and column, level steps with the notes
        # over them; pitches outside the bank are silent.
        shown = self._index(base + np.arange(rows * per_row))
        levels = self._history[np.ix_(np.maximum(shown, 0), slots % HISTORY)]
        levels[shown < 0] = -np.inf
        levels[:, slots < 0] = -np.inf
        steps = np.clip(np.ceil((levels - FLOOR_DB) / SPAN_DB * len(LEVELS)), 0, len(LEVELS)).astype(np.int64)
        for pitch, start, end, pixel, _ in bars:
            if 0 <= pitch - base < len(steps):
                steps[pitch - base, start : end + 1] = pixel
        # Row y holds the semitones lowest(y) .. lowest(y) + per_row - 1, the highest at the top.
        lower = (rows - 1 - np.arange(rows)) * per_row
        keys = steps[lower + per_row - 1] * _PIXELS + steps[lower]  # upper half, lower half
        names: dict[tuple[int, int], tuple[str, str]] = {}
        for pitch, start, end, pixel, clipped in bars:
            y = rows - 1 - (pitch - base) // per_row
            # A name goes at the bar's start, or at the left edge once the start has scrolled
            # off if it fits there whole; a later name overwrites an earlier one.
            if 0 <= y < rows and end - start + 1 >= (len(note_name(pitch)) if clipped else 2):
                style = self._style(TEXT, SOUNDING if pixel == _SOUNDING_PIXEL else ENDED, bold=True)
                for i, char in enumerate(note_name(pitch)[: end - start + 1]):
                    names[y, start + i] = (style, char)
                    keys[y, start + i] = -1
        # Runs of equal cells, found for all rows at once: (row, first column, cell).
        change = np.ones(keys.shape, dtype=bool)
        change[:, 1:] = keys[:, 1:] != keys[:, :-1]
        ys, xs = np.nonzero(change)
        ends = np.append(xs[1:], columns)
        ends[np.append(ys[1:] != ys[:-1], True)] = columns  # a row's last run ends at its end
        sounding = {p for p, _ in self._sounding}
        out = [_Row() for _ in range(rows)]
        if label:
            for y, row in enumerate(out):
                row.add(*self._label(base + int(lower[y]), per_row, sounding))
        for y, a, b, key in zip(ys.tolist(), xs.tolist(), ends.tolist(), keys[ys, xs].tolist()):
            if key < 0:
                for x in range(a, b):
                    out[y].add(*names[y, x])
            else:
                style, char = self._cell[key]
                out[y].add(style, char * (b - a))
        return out

    @staticmethod
    def _in_use(sounding: list[int], ended: list[int], most: int) -> list[int]:
        """The pitches to show, at most `most` semitones apart: all if they fit; else the
        sounding notes, then as many of the ended ones, latest first, as still fit."""
        pitches = sounding + ended
        if not pitches or max(pitches) - min(pitches) < most:
            return pitches
        kept = sounding[:] or pitches[:1]
        for pitch in ended:
            if max(kept + [pitch]) - min(kept + [pitch]) < most:
                kept.append(pitch)
        return kept

    def _index(self, pitches: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        """The rows of `steps` for `pitches`: the spare silent row (-1) for those outside the bank."""
        inside = (pitches >= self._low) & (pitches < self._low + self._count)
        rows: npt.NDArray[np.int64] = np.where(inside, pitches - self._low, -1)
        return rows

    def _label(self, lowest: int, per_row: int, sounding: set[int]) -> tuple[str, str]:
        """The note name at the left of a row: every row's with one semitone a row; with two,
        the names of sounding notes and of each C."""
        pitches = [p for p in range(lowest + per_row - 1, lowest - 1, -1) if 0 <= p - self._low < self._count]
        on = [p for p in pitches if p in sounding]
        named = on or [p for p in pitches if per_row == 1 or p % 12 == 0]
        if not named:
            return RESET, " " * LABEL
        pitch = named[0]
        colour = LABEL_ON if on else LABEL_C if pitch % 12 == 0 else LABEL_DIM
        return self._style(fg=colour, bold=bool(on)), f"{note_name(pitch):>3} "[-LABEL:]

    def _cells(self) -> list[tuple[str, str]]:
        """The look of a cell for each pair of pixels (upper * _PIXELS + lower): with colour, a
        half block in one pixel's colour on the other's; without, shades and blocks."""
        cells = []
        for top in range(_PIXELS):
            for bottom in range(_PIXELS):
                if self._color:
                    a, b = self._colour(top), self._colour(bottom)
                    if a == b:
                        cells.append((self._style(bg=b), " "))
                    elif a is None:
                        cells.append((self._style(fg=b), "▄"))
                    else:
                        cells.append((self._style(a, b), "▀"))
                elif top > len(LEVELS) or bottom > len(LEVELS):
                    full = top > len(LEVELS) and bottom > len(LEVELS)
                    cells.append((RESET, "█" if full else "▀" if top > len(LEVELS) else "▄"))
                else:
                    shade = max(top, bottom) * (len(PLAIN_SHADES) - 1) // len(LEVELS)
                    cells.append((RESET, PLAIN_SHADES[shade]))
        return cells

    @staticmethod
    def _colour(pixel: int) -> int | None:
        if pixel == SILENT:
            return None
        if pixel == _SOUNDING_PIXEL:
            return SOUNDING
        if pixel == _ENDED_PIXEL:
            return ENDED
        return LEVELS[pixel - 1]
