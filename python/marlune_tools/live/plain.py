"""The display for a pipe or a file: one line per note event, written at once.

Each line is five or six fields separated by single spaces:

    on 1.230 C4 60 96
    off 1.870 C4 60 96 1.230

the event (`on` when a note is decided, `off` when it ends), its time in seconds of audio (the
onset for `on`, the offset for `off`), the note's name, its MIDI number and velocity, and for
`off` the onset again, so that each `off` names the note it ends. Every note gets its `on` before
its `off`; a note that starts and ends between two looks gets both at once. Nothing else is
written to standard output.
"""

from __future__ import annotations

import sys
from typing import TextIO

from marlune_tools.live.snapshot import Setup, Snapshot
from marlune_tools.notes import note_name


class PlainView:
    def __init__(self, out: TextIO | None = None) -> None:
        self._out = out
        self._announced: set[tuple[int, float]] = set()  # (pitch, onset) of the notes given an `on`

    def open(self, setup: Setup) -> None:
        if self._out is None:
            self._out = sys.stdout

    def show(self, snapshot: Snapshot) -> None:
        assert self._out is not None
        lines = []
        for e in snapshot.ended:
            if (e.pitch, e.onset) not in self._announced:
                lines.append(f"on {e.onset:.3f} {note_name(e.pitch)} {e.pitch} {e.velocity}")
            self._announced.discard((e.pitch, e.onset))
            lines.append(f"off {e.offset:.3f} {note_name(e.pitch)} {e.pitch} {e.velocity} {e.onset:.3f}")
        for s in snapshot.sounding:
            if (s.pitch, s.onset) not in self._announced:
                self._announced.add((s.pitch, s.onset))
                lines.append(f"on {s.onset:.3f} {note_name(s.pitch)} {s.pitch} {s.velocity}")
        if lines:
            self._out.write("".join(line + "\n" for line in lines))
            self._out.flush()

    def close(self) -> None:
        pass
