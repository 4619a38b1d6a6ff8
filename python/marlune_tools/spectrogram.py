"""A spectrogram: each channel's value after each hop, with the scale and timing it came from.

Levels are in dB relative to full scale: a steady sine of amplitude A reads A/2 in magnitude, so
a full-scale sine (amplitude 1) reads 0.5, which is 0 dB.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from marlune_tools.notes import Scale
from marlune_tools.transcribe import NoteEvent

FULL_SCALE = 0.5  # magnitude of a full-scale sine
FLOOR_DB = -80.0  # bottom of the picture's scale


def decibels(magnitudes: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """20·log10(magnitude / 0.5), never below `FLOOR_DB`."""
    floor = FULL_SCALE * 10.0 ** (FLOOR_DB / 20.0)
    levels: npt.NDArray[np.float32] = 20.0 * np.log10(np.maximum(magnitudes, floor) / FULL_SCALE)
    return levels.astype(np.float32)


@dataclass(frozen=True, eq=False)
class Spectrogram:
    frames: npt.NDArray[np.complex64]  # (frames, channels): each channel's value after each hop
    scale: Scale  # the channels: one per step of the scale
    sample_rate: float  # Hz
    hop: int  # samples per frame
    # The notes played, as the note tracker found them while the frames were made (on frames of
    # its own: see `analysis`); None for frames that came from elsewhere, such as an .npz file.
    events: tuple[NoteEvent, ...] | None = None

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
