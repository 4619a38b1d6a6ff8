"""What the live displays are given.

The analysis thread gathers what happened since the last look; the display thread takes it as a
`Snapshot` a few dozen times a second and hands it to each `View`. Views never see the audio
thread or the analysis thread, so a slow terminal or browser costs frames on screen, never
blocks of audio.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt

from marlune_tools.transcribe import NoteEvent, Sounding


@dataclass(frozen=True)
class Setup:
    """What stays the same for the whole run."""

    source: str  # the device's name, or the file being replayed
    sample_rate: float  # Hz
    block: int  # samples per block from the source
    hop: int  # samples per frame
    numbers: npt.NDArray[np.float64]  # MIDI note number of each channel (fractional between keys)
    frequencies: npt.NDArray[np.float32]  # Hz, of each channel
    input_latency: float  # s, as the device reports it (0 for a file)
    delay_frames: int  # a note-on is decided this many frames after its onset frame

    def __post_init__(self) -> None:
        # Every view maps channels to rows and frames to time from this, so a setup that cannot
        # describe a run is refused here, once, rather than half drawn by one view or another.
        numbers = np.asarray(self.numbers, dtype=np.float64)
        if numbers.ndim != 1 or not len(numbers) or not np.all(np.isfinite(numbers)) or np.any(np.diff(numbers) <= 0):
            raise ValueError("the setup's note numbers must be a non-empty rising sequence of finite numbers")
        if not (math.isfinite(self.sample_rate) and self.sample_rate > 0 and self.hop >= 1):
            raise ValueError(f"need a positive sample rate and hop, not {self.sample_rate} Hz and {self.hop}")


@dataclass(frozen=True)
class Status:
    """The health of the run so far: the status line."""

    heard: float  # s of audio analysed
    delay_median: float  # s, from a block's arrival to its frames and note decisions
    delay_p999: float  # s, the same, 99.9th percentile
    longest: float  # s, the longest such delay: the worst hiccup
    dropped: int  # blocks lost because the analysis fell behind, counted, never hidden
    cpu: float  # the process's processor time over wall time since the start (1.0 = one core)


@dataclass(frozen=True)
class Snapshot:
    """What happened since the previous snapshot."""

    time: float  # s of audio at the end of the last frame
    levels: npt.NDArray[np.float32]  # (frames since the last snapshot, channels), dB re full scale
    peak_db: float  # the loudest sample since the last snapshot, dB re full scale (-inf: silence)
    sounding: tuple[Sounding, ...]  # the decided notes sounding now, low to high
    ended: tuple[NoteEvent, ...]  # the notes that ended since the last snapshot, in onset order
    status: Status


class View(Protocol):
    """A display: opened once, shown every snapshot on the display thread, closed at the end
    (also after an error or Ctrl-C). `show` must return quickly."""

    def open(self, setup: Setup) -> None: ...

    def show(self, snapshot: Snapshot) -> None: ...

    def close(self) -> None: ...
