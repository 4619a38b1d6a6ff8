"""From samples to a spectrogram: the bank's settings, the frames, and what they say.

Defaults: one channel per piano key (A0 to C8), a frame every 10 ms, and for each channel a time
constant of ten periods of its own frequency, times the bins per semitone. A time constant that
grows with the period keeps the channels' bandwidths a fixed fraction of a semitone, so
neighbouring keys are told apart at every octave (a neighbour reads about 22 dB down), where one
fixed time constant would blur the lowest octaves and the module's default coefficients are wider
than a semitone there. The price is time: a channel takes several time constants to settle,
about 50 ms at A4 and close to a second at A0.

Levels are in dB relative to full scale: a steady sine of amplitude A reads A/2 in magnitude, so
a full-scale sine (amplitude 1) reads 0.5, which is 0 dB.
"""

from __future__ import annotations

import sys
import zipfile
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

import marlune
from marlune_tools import audio
from marlune_tools.errors import FileError, StrPath
from marlune_tools.notes import Scale, piano_keys, split_cents
from marlune_tools.output import replacing
from marlune_tools.stream import FrameStream

FULL_SCALE = 0.5  # magnitude of a full-scale sine
PERIODS = 10.0  # time constant of a channel, in periods of its frequency, per bin per semitone
FLOOR_DB = -80.0  # bottom of the picture's scale
SOUNDING_DB = -40.0  # a note must reach this level to count as sounding ...
SOUNDING_SPAN_DB = 20.0  # ... and come within this of the loudest note at that moment
PROGRESS_SECONDS = 10.0  # files longer than this get a progress bar when one is wanted


@dataclass(frozen=True)
class Settings:
    scale: Scale = field(default_factory=piano_keys)
    hop_ms: float = 10.0  # time between frames
    tau_ms: float | None = None  # one time constant for every channel instead of the default

    def __post_init__(self) -> None:
        if not self.hop_ms > 0:
            raise ValueError(f"the hop must be positive, not {self.hop_ms} ms")
        if self.tau_ms is not None and not self.tau_ms > 0:
            raise ValueError(f"the time constant must be positive, not {self.tau_ms} ms")

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


@dataclass(frozen=True)
class Segment:
    start: float  # s
    end: float  # s
    notes: tuple[str, ...]  # low to high


@dataclass(frozen=True, eq=False)
class Spectrogram:
    frames: npt.NDArray[np.complex64]  # (frames, channels): each channel's value after each hop
    frequencies: npt.NDArray[np.float32]  # Hz, one per channel
    notes: tuple[str, ...]  # note name of each channel
    sample_rate: float  # Hz
    hop: int  # samples per frame

    @property
    def times(self) -> npt.NDArray[np.float64]:
        """Time in seconds at the end of each frame's hop."""
        return np.arange(1, len(self.frames) + 1, dtype=np.float64) * (self.hop / self.sample_rate)

    @property
    def seconds(self) -> float:
        """Audio covered by the frames, in seconds."""
        return len(self.frames) * self.hop / self.sample_rate

    def decibels(self) -> npt.NDArray[np.float32]:
        """20·log10(magnitude / 0.5) per frame and channel, never below `FLOOR_DB`."""
        floor = FULL_SCALE * 10.0 ** (FLOOR_DB / 20.0)
        levels: npt.NDArray[np.float32] = 20.0 * np.log10(np.maximum(np.abs(self.frames), floor) / FULL_SCALE)
        return levels.astype(np.float32)

    def sounding(self, window: float = 0.1, threshold_db: float = SOUNDING_DB) -> list[Segment]:
        """Which notes sound, window by window (seconds), with equal neighbours merged.

        A note sounds in a window when its mean level there reaches `threshold_db`, comes within
        `SOUNDING_SPAN_DB` of the loudest note, and is louder than the notes a semitone either side.
        """
        names = [split_cents(name)[0] for name in self.notes]
        keys = list(dict.fromkeys(names))  # the notes, in channel order
        column = {name: i for i, name in enumerate(keys)}
        index = np.array([column[name] for name in names])
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
            found = tuple(keys[i] for i in np.flatnonzero(loud))
            start = first * self.hop / self.sample_rate
            end = min(first + per_window, len(self.frames)) * self.hop / self.sample_rate
            if segments and segments[-1].notes == found:
                segments[-1] = Segment(segments[-1].start, end, found)
            else:
                segments.append(Segment(start, end, found))
        return segments

    def save(self, path: StrPath) -> None:
        """Writes the spectrogram as an .npz file, whole or not at all."""
        with replacing(path) as f:
            self.write(f)

    def write(self, file: BinaryIO) -> None:
        """Writes the spectrogram in .npz form to an open binary file."""
        np.savez(
            file,
            frames=self.frames,
            frequencies=self.frequencies,
            notes=np.array(self.notes, dtype=np.str_),
            sample_rate=np.float64(self.sample_rate),
            hop=np.int64(self.hop),
        )

    @classmethod
    def load(cls, path: StrPath) -> Spectrogram:
        """Reads an .npz file written by `save`."""
        try:
            with np.load(path, allow_pickle=False) as data:
                return cls(
                    frames=data["frames"],
                    frequencies=data["frequencies"],
                    notes=tuple(str(name) for name in data["notes"]),
                    sample_rate=float(data["sample_rate"]),
                    hop=int(data["hop"]),
                )
        except (OSError, EOFError, KeyError, ValueError, zipfile.BadZipFile) as exc:
            raise FileError(path, f"not a spectrogram file ({exc})") from None


def analyse(blocks: Iterable[npt.ArrayLike], sample_rate: float, settings: Settings) -> Spectrogram:
    """The spectrogram of a signal given in blocks of any lengths (one array is one block)."""
    hop = settings.hop(sample_rate)
    stream = FrameStream(settings.bank(sample_rate), hop)
    parts = [stream.push(np.ascontiguousarray(block, dtype=np.float32)) for block in blocks]
    frames = np.concatenate(parts) if parts else stream.push(np.empty(0, np.float32))
    scale = settings.scale
    return Spectrogram(frames, scale.frequencies, tuple(scale.names), float(sample_rate), hop)


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
    blocks = audio.blocks(path, channel=channel)
    if not (progress and found.seconds > PROGRESS_SECONDS):
        return analyse(blocks, found.sample_rate, settings)
    from tqdm import tqdm

    # Counted in seconds of audio, which a listener can relate to the file.
    total = round(found.seconds, 1)
    with tqdm(total=total, unit="s", bar_format="{l_bar}{bar}| {n:.1f}/{total:.1f} s of audio [{elapsed}<{remaining}]",
              file=sys.stderr, leave=False) as bar:

        def counted() -> Iterable[npt.NDArray[np.float32]]:
            done = 0
            for block in blocks:
                yield block
                done += len(block)
                bar.update(round(done / found.sample_rate, 1) - bar.n)

        return analyse(counted(), found.sample_rate, settings)
