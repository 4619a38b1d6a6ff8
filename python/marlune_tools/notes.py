"""Musical scales: note names, note numbers and the centre frequencies of a bank.

Note numbers are MIDI numbers: 69 is A4, 60 is C4 (middle C), 21 to 108 are the 88 piano keys.
Frequencies come from ``marlune.midi_to_hz`` with the given tuning (the frequency of A4 in Hz).
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import marlune

NOTE_NAMES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")
_STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}
_NAME = re.compile(r"^([A-Ga-g])([#b]?)(-?\d+)$")

PIANO_LOW = 21  # A0
PIANO_HIGH = 108  # C8


def note_name(number: float) -> str:
    """"A4" for 69, "C#5" for 73; a number between notes gets cents: "A4+33c" for 69.33, and
    half way is named from the note below: "A4+50c"."""
    nearest = math.ceil(number - 0.5)
    name = f"{NOTE_NAMES[nearest % 12]}{nearest // 12 - 1}"
    cents = round((number - nearest) * 100)
    return name if cents == 0 else f"{name}{cents:+d}c"


def note_number(name: str) -> int:
    """69 for "A4"; sharps ("C#5") and flats ("Db5") are both understood."""
    match = _NAME.match(name.strip())
    if not match:
        raise ValueError(f"not a note name: {name!r} (expected e.g. A4, C#5, Bb3)")
    letter, accidental, octave = match.groups()
    shift = {"#": 1, "b": -1, "": 0}[accidental]
    return (int(octave) + 1) * 12 + _STEPS[letter.upper()] + shift


def note_range(text: str) -> tuple[int, int]:
    """The note numbers of a range written "LOW:HIGH", for example "A0:C8" gives (21, 108)."""
    low, sep, high = text.partition(":")
    if not sep:
        raise ValueError(f"not a note range: {text!r} (expected LOW:HIGH, e.g. A0:C8)")
    first, last = note_number(low), note_number(high)
    if first > last:
        raise ValueError(f"empty note range: {text!r} (the low note comes first)")
    return first, last


@dataclass(frozen=True)
class Scale:
    """Channels from note `low` to note `high`, `bins_per_semitone` to each semitone."""

    low: int = PIANO_LOW
    high: int = PIANO_HIGH
    bins_per_semitone: int = 1
    tuning: float = 440.0

    def __post_init__(self) -> None:
        if self.bins_per_semitone < 1:
            raise ValueError(f"bins per semitone must be at least 1, not {self.bins_per_semitone}")
        if self.low > self.high:
            raise ValueError(f"the low note {self.low} is above the high note {self.high}")
        if not 0 < self.tuning < float("inf"):
            raise ValueError(f"the tuning must be a positive frequency, not {self.tuning} Hz")

    @property
    def numbers(self) -> npt.NDArray[np.float64]:
        """The note number of each channel, fractional between notes."""
        steps = (self.high - self.low) * self.bins_per_semitone + 1
        return self.low + np.arange(steps) / self.bins_per_semitone

    @property
    def names(self) -> list[str]:
        """The note name of each channel ("A4", "A4+33c", ...)."""
        return [note_name(float(number)) for number in self.numbers]

    @property
    def frequencies(self) -> npt.NDArray[np.float32]:
        """Centre frequency of each channel in Hz, as ``marlune.midi_to_hz`` gives it."""
        return np.array(
            [marlune.midi_to_hz(float(number), self.tuning) for number in self.numbers], dtype=np.float32
        )

    def __len__(self) -> int:
        return (self.high - self.low) * self.bins_per_semitone + 1


def piano_keys(tuning: float = 440.0) -> Scale:
    """The 88 keys of a piano, A0 to C8."""
    return Scale(PIANO_LOW, PIANO_HIGH, 1, tuning)
