"""A spectrogram: each channel's value after each hop, with the scale and timing it came from.

Levels are in dB relative to full scale: a steady sine of amplitude A reads A/2 in magnitude, so
a full-scale sine (amplitude 1) reads 0.5, which is 0 dB.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from marlune_tools.notes import Scale, note_name

FULL_SCALE = 0.5  # magnitude of a full-scale sine
FLOOR_DB = -80.0  # bottom of the picture's scale
SOUNDING_DB = -40.0  # a note must reach this level to count as sounding ...
SOUNDING_SPAN_DB = 20.0  # ... and come within this of the loudest note at that moment


def decibels(magnitudes: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """20·log10(magnitude / 0.5), never below `FLOOR_DB`."""
    floor = FULL_SCALE * 10.0 ** (FLOOR_DB / 20.0)
    levels: npt.NDArray[np.float32] = 20.0 * np.log10(np.maximum(magnitudes, floor) / FULL_SCALE)
    return levels.astype(np.float32)


@dataclass(frozen=True)
class Segment:
    start: float  # s
    end: float  # s
    notes: tuple[str, ...]  # low to high


@dataclass(frozen=True, eq=False)
class Spectrogram:
    frames: npt.NDArray[np.complex64]  # (frames, channels): each channel's value after each hop
    scale: Scale  # the channels: one per step of the scale
    sample_rate: float  # Hz
    hop: int  # samples per frame

    @property
    def frequencies(self) -> npt.NDArray[np.float32]:
        """Centre frequency of each channel in Hz."""
        return self.scale.frequencies

    @property
    def notes(self) -> tuple[str, ...]:
        """Note name of each channel ("A4", "A4+33c", ...)."""
        return tuple(self.scale.names)

    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Time in seconds at the end of each frame's hop."""
        return np.arange(1, len(self.frames) + 1, dtype=np.float64) * (self.hop / self.sample_rate)

    @property
    def seconds(self) -> float:
        """Audio covered by the frames, in seconds."""
        return len(self.frames) * self.hop / self.sample_rate

    def sounding(self, window: float = 0.1, threshold_db: float = SOUNDING_DB) -> list[Segment]:
        """Which notes sound, window by window (seconds), with equal neighbours merged.

        A note sounds in a window when its mean level there reaches `threshold_db`, comes within
        `SOUNDING_SPAN_DB` of the loudest note, and is louder than the notes a semitone either side.
        A note's level is that of its loudest channel.
        """
        # The note nearest each channel, as note_name rounds: half way goes to the note below.
        nearest = np.array([math.ceil(number - 0.5) for number in self.scale.numbers], dtype=np.int64)
        keys, index = np.unique(nearest, return_inverse=True)
        names = [note_name(int(key)) for key in keys]
        per_window = max(1, round(window * self.sample_rate / self.hop))
        segments: list[Segment] = []
        for first in range(0, len(self.frames), per_window):
            level = np.abs(self.frames[first : first + per_window]).mean(axis=0)
            note_level = np.zeros(len(keys))
            np.maximum.at(note_level, index, level)
            db = 20.0 * np.log10(np.maximum(note_level, 1e-30) / FULL_SCALE)
            padded = np.concatenate([[-np.inf], db, [-np.inf]])
            peak = (db >= padded[:-2]) & (db > padded[2:])
            loud = peak & (db >= threshold_db) & (db >= db.max() - SOUNDING_SPAN_DB)
            found = tuple(names[i] for i in np.flatnonzero(loud))
            start = first * self.hop / self.sample_rate
            end = min(first + per_window, len(self.frames)) * self.hop / self.sample_rate
            if segments and segments[-1].notes == found:
                segments[-1] = Segment(segments[-1].start, end, found)
            else:
                segments.append(Segment(start, end, found))
        return segments
