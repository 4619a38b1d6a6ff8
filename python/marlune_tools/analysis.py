"""From samples to a spectrogram and its notes: a signal in blocks, or an audio file read block by block.

The notes come from the note tracker, run on a second bank fed the same blocks in the same pass.
The spectrogram's own channels are chosen for the picture (and by the user: any range, hop and
time constant; by default up to a second in the lowest octave), while the tracker needs every
piano key, channels that settle within 50 ms and a frame every 10 ms to place onsets; on
rendered pieces its own frames place low and short notes better.
"""

from __future__ import annotations

import math
from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

from marlune_tools import audio
from marlune_tools.errors import FileError, StrPath
from marlune_tools.notes import piano_keys
from marlune_tools.progress import counted
from marlune_tools.settings import Settings
from marlune_tools.spectrogram import Spectrogram
from marlune_tools.stream import FrameStream
from marlune_tools.transcribe import BLOCK_FRAMES, NoteEvent, NoteTracker, bank_for

PROGRESS_SECONDS = 10.0  # files longer than this get a progress bar when one is wanted
NOTE_HOP_MS = 10.0  # the tracker's frames, whatever the spectrogram's hop


def note_tracking(settings: Settings, sample_rate: float, hop: int) -> tuple[NoteTracker, FrameStream]:
    """The note tracker for `settings` (its range of notes, tuning and threshold) and the stream
    of the tracker's own bank, every piano key at that tuning, both at `hop`. ValueError when
    the tracker refuses the rate (every key at or above the Nyquist frequency)."""
    keys = piano_keys(settings.scale.tuning)
    pitches = (math.ceil(settings.scale.low), math.floor(settings.scale.high))
    tracker = NoteTracker(keys.numbers, sample_rate, hop, threshold_db=settings.threshold_db, pitches=pitches,
                          tuning=keys.tuning)
    return tracker, FrameStream(bank_for(keys.numbers, sample_rate, keys.tuning), hop)


class _Notes:
    """The note tracker on a bank of its own, fed block by block; reports the notes within the
    spectrogram's range of notes, at its tuning."""

    def __init__(self, sample_rate: float, settings: Settings) -> None:
        self._events: list[NoteEvent] = []
        try:
            self._tracker, self._stream = note_tracking(settings, sample_rate,
                                                        max(1, round(sample_rate * NOTE_HOP_MS / 1000.0)))
        except ValueError:  # every key at or above the Nyquist frequency: there are no notes to find
            self._heard = False
            return
        self._heard = True
        # Frames wait here until there are enough for one of the tracker's blocks: a push has a
        # cost of its own, and the events are the same for any chunking.
        self._waiting: list[npt.NDArray[np.complex64]] = []
        self._count = 0

    def push(self, block: npt.NDArray[np.float32]) -> None:
        if self._heard:
            frames = self._stream.push(block)
            self._waiting.append(frames)
            self._count += len(frames)
            if self._count >= BLOCK_FRAMES:
                self._track()

    def finish(self) -> tuple[NoteEvent, ...]:
        if self._heard:
            self._track()
            self._events += self._tracker.finish()
        return tuple(sorted(self._events))

    def _track(self) -> None:
        if self._waiting:
            self._events += self._tracker.push(np.concatenate(self._waiting))
            self._waiting, self._count = [], 0


def analyse(
    blocks: Iterable[npt.ArrayLike],
    sample_rate: float,
    settings: Settings,
    *,
    length: int | None = None,
    notes: bool = True,
) -> Spectrogram:
    """The spectrogram of a signal given in blocks of any lengths (one array is one block), with
    its note events (`events`; None with `notes=False`).

    `length`, the number of samples when it is known beforehand, lets the frames be written into
    one array of their final size as they come, so that memory holds them once, not twice.
    """
    hop = settings.hop(sample_rate)
    stream = FrameStream(settings.bank(sample_rate), hop)
    frames = np.empty(((length or 0) // hop, len(settings.scale)), dtype=np.complex64)
    tracking = _Notes(sample_rate, settings) if notes else None
    filled = 0
    beyond: list[npt.NDArray[np.complex64]] = []  # frames past `length`, should the blocks run on
    for block in blocks:
        samples = np.ascontiguousarray(block, dtype=np.float32)
        part = stream.push(samples)
        if tracking is not None:
            tracking.push(samples)
        taken = min(len(part), len(frames) - filled)
        frames[filled : filled + taken] = part[:taken]
        filled += taken
        if taken < len(part):
            beyond.append(part[taken:])
    if beyond:
        whole = beyond[0] if filled == 0 and len(beyond) == 1 else np.concatenate([frames[:filled], *beyond])
    else:
        whole = frames[:filled]
    events = tracking.finish() if tracking is not None else None
    return Spectrogram(whole, settings.scale, float(sample_rate), hop, events)


def check_file(path: StrPath, settings: Settings, *, channel: int | None = None) -> audio.AudioInfo:
    """The file's facts if it can be analysed: readable, and at least one hop long (a shorter
    file would give no frame at all); otherwise a `FileError`."""
    found = audio.info(path, channel=channel)
    hop = settings.hop(found.sample_rate)
    if found.frames < hop:
        raise FileError(path, f"shorter than one hop ({found.frames} samples, hop {hop})")
    return found


def analyse_file(
    path: StrPath, settings: Settings, *, channel: int | None = None, progress: bool = False
) -> Spectrogram:
    """The spectrogram of an audio file, read block by block.

    With `progress`, files longer than `PROGRESS_SECONDS` show a progress bar on standard error.
    Files that `check_file` refuses raise its `FileError`.
    """
    found = check_file(path, settings, channel=channel)
    blocks: Iterable[npt.NDArray[np.float32]] = audio.blocks(path, channel=channel)
    if progress and found.seconds > PROGRESS_SECONDS:
        blocks = counted(blocks, found.frames, found.sample_rate)
    return analyse(blocks, found.sample_rate, settings, length=found.frames)
