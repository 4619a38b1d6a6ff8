"""A few seconds of music made here, so that the tools have something to analyse anywhere.

A held A minor chord (A3 C4 E4) under a melody of eight notes, then a glide from A4 up to A5
on its own. Sines with a faint second harmonic and 5 ms fades, so that the picture shows notes,
not clicks. The loudest moment stays below full scale, so the signal can be written to any file
format unchanged.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import marlune

SAMPLE_RATE = 48_000.0
SECONDS = 5.4
CHORD = (57, 60, 64)  # A3 C4 E4
MELODY = (69, 72, 76, 74, 72, 71, 72, 69)  # A4 C5 E5 D5 C5 B4 C5 A4
MELODY_START, NOTE_SECONDS = 0.6, 0.4
CHORD_END = 4.0
GLIDE = (69, 81, 4.2, 5.2)  # from A4 to A5 between 4.2 s and 5.2 s


@dataclass(frozen=True)
class Note:
    number: int  # MIDI note number
    start: float  # s
    end: float  # s
    amplitude: float  # peak of the fundamental


def notes() -> list[Note]:
    """The held notes of the demo, chord first, then the melody in order."""
    chord = [Note(n, 0.0, CHORD_END, 0.12) for n in CHORD]
    melody = [
        Note(n, MELODY_START + i * NOTE_SECONDS, MELODY_START + (i + 1) * NOTE_SECONDS, 0.3)
        for i, n in enumerate(MELODY)
    ]
    return chord + melody


def _envelope(t: npt.NDArray[np.float64], start: float, end: float) -> npt.NDArray[np.float64]:
    fade = 0.005
    return np.clip(np.minimum(t - start, end - t) / fade, 0.0, 1.0)


def signal(sample_rate: float = SAMPLE_RATE, tuning: float = 440.0) -> npt.NDArray[np.float32]:
    """The demo as float32 samples at `sample_rate` Hz, tuned so that A4 is `tuning` Hz."""
    t = np.arange(int(SECONDS * sample_rate)) / sample_rate
    out = np.zeros_like(t)
    for note in notes():
        f = marlune.midi_to_hz(note.number, tuning)
        tone = np.sin(2 * np.pi * f * t) + 0.05 * np.sin(4 * np.pi * f * t)
        out += note.amplitude * _envelope(t, note.start, note.end) * tone
    low, high, start, end = GLIDE
    pitch = low + (high - low) * np.clip((t - start) / (end - start), 0.0, 1.0)
    # The phase is the running sum of the instantaneous frequency, so the glide has no jumps.
    phase = 2 * np.pi * np.cumsum(tuning * 2.0 ** ((pitch - 69) / 12)) / sample_rate
    out += 0.3 * _envelope(t, start, end) * np.sin(phase)
    return out.astype(np.float32)
