"""Spectrograms as .npz files, the form NumPy reads back with ``numpy.load``.

Keys: frames (complex64, (frames, channels)), frequencies (Hz, float32), notes (names),
sample_rate (Hz), hop (samples), and the scale they come from: low_note and high_note (MIDI
numbers), bins_per_semitone, tuning (Hz of A4).
"""

from __future__ import annotations

import zipfile
from typing import BinaryIO

import numpy as np

from marlune_tools.errors import FileError, StrPath, os_cause
from marlune_tools.notes import Scale
from marlune_tools.spectrogram import Spectrogram


def write(spectrogram: Spectrogram, file: BinaryIO) -> None:
    """Writes the spectrogram in .npz form to an open binary file. The frames go out in pieces of
    a few MiB, never copied whole."""
    scale = spectrogram.scale
    np.savez(
        file,
        frames=spectrogram.frames,
        frequencies=spectrogram.frequencies,
        notes=np.array(spectrogram.notes, dtype=np.str_),
        sample_rate=np.float64(spectrogram.sample_rate),
        hop=np.int64(spectrogram.hop),
        low_note=np.int64(scale.low),
        high_note=np.int64(scale.high),
        bins_per_semitone=np.int64(scale.bins_per_semitone),
        tuning=np.float64(scale.tuning),
    )


def load(path: StrPath) -> Spectrogram:
    """Reads an .npz file written by `write`."""
    try:
        with np.load(path, allow_pickle=False) as data:
            scale = Scale(int(data["low_note"]), int(data["high_note"]), int(data["bins_per_semitone"]),
                          float(data["tuning"]))
            frames = data["frames"]
            if frames.ndim != 2 or frames.shape[1] != len(scale):
                raise ValueError(f"frames of shape {frames.shape} for a scale of {len(scale)} channels")
            return Spectrogram(frames, scale, float(data["sample_rate"]), int(data["hop"]))
    except OSError as exc:
        raise FileError(path, os_cause(exc)) from None
    except (EOFError, KeyError, ValueError, zipfile.BadZipFile) as exc:
        raise FileError(path, f"not a spectrogram file ({exc})") from None
