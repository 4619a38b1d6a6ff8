"""The settings of an analysis: which channels, how often a frame, how much smoothing, and how
high the note tracker's thresholds sit.

Defaults: one channel per piano key (A0 to C8), a frame every 10 ms, and for each channel a time
constant of ten periods of its own frequency, times the bins per semitone. A time constant that
grows with the period keeps the channels' bandwidths a fixed fraction of a semitone, so
neighbouring keys are told apart at every octave (a neighbour reads about 22 dB down), where one
fixed time constant would blur the lowest octaves and the module's default coefficients are wider
than a semitone there. The price is time: a channel takes several time constants to settle,
about 50 ms at A4 and close to a second at A0.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import marlune
from marlune_tools.notes import Scale, piano_keys
from marlune_tools.transcribe import MAX_THRESHOLD_DB

PERIODS = 10.0  # time constant of a channel, in periods of its frequency, per bin per semitone


def shorter_than_a_sample(rate: float, spans: Iterable[tuple[str, float | None]]) -> str:
    """The line that refuses the first of the (option, milliseconds) `spans` shorter than one
    sample at `rate`, or "". A hop would be rounded up to one sample, so the frames would come
    far less often than asked; a time constant has no one-sample equivalent at all."""
    for option, ms in spans:
        if ms is not None and ms / 1000.0 * rate < 1.0:
            return f"at {rate:g} Hz, {option} {ms:g} is shorter than one sample"
    return ""


@dataclass(frozen=True)
class Settings:
    scale: Scale = field(default_factory=piano_keys)
    hop_ms: float = 10.0  # time between frames
    tau_ms: float | None = None  # one time constant for every channel instead of the default
    threshold_db: float = 0.0  # moves the note tracker's level thresholds up (fewer notes) or down

    def __post_init__(self) -> None:
        if not self.hop_ms > 0:
            raise ValueError(f"the hop must be positive, not {self.hop_ms} ms")
        if self.tau_ms is not None and not self.tau_ms > 0:
            raise ValueError(f"the time constant must be positive, not {self.tau_ms} ms")
        if not abs(self.threshold_db) <= MAX_THRESHOLD_DB:
            raise ValueError(f"the threshold must be from -{MAX_THRESHOLD_DB:g} to {MAX_THRESHOLD_DB:g} dB, "
                             f"not {self.threshold_db}")

    def hop(self, sample_rate: float) -> int:
        """Samples per frame at `sample_rate`: the hop in ms rounded to whole samples, at least 1."""
        return max(1, round(sample_rate * self.hop_ms / 1000.0))

    def taus(self) -> npt.NDArray[np.float64]:
        """Time constant of each channel in seconds."""
        if self.tau_ms is not None:
            return np.full(len(self.scale), self.tau_ms / 1000.0)
        freqs = self.scale.frequencies.astype(np.float64)
        return (PERIODS * self.scale.bins_per_semitone / freqs).astype(np.float64)

    def bank(self, sample_rate: float) -> marlune.ResonatorBank:
        """A new bank for these settings; both smoothing stages get each channel's coefficient."""
        alphas = np.array([marlune.alpha_from_tau(tau, sample_rate) for tau in self.taus()], dtype=np.float32)
        return marlune.ResonatorBank(self.scale.frequencies, sample_rate, alphas=alphas)
