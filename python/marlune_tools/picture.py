"""Spectrogram pictures: notes up the side, time across, level in dB as colour.

The colour scale is fixed, from `FLOOR_DB` to 0 dB relative to a full-scale sine, whatever the
file holds: silence is dark and a quiet file looks quiet. Drawn with matplotlib's Agg canvas,
without a screen and without touching pyplot's global state.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from marlune_tools.analysis import FLOOR_DB, Spectrogram
from marlune_tools.errors import StrPath
from marlune_tools.notes import note_name, pitch
from marlune_tools.output import replacing

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MAX_COLUMNS = 3000  # longer spectrograms are drawn with the loudest of each run of frames
COLOUR_MAP = "magma"  # dark to bright, readable in grey too


def _tuning(spectrogram: Spectrogram, numbers: npt.NDArray[np.float64]) -> float:
    """The frequency of A4 that the channels were tuned to."""
    if not len(numbers):
        return 440.0
    return float(spectrogram.frequencies[0] / 2.0 ** ((numbers[0] - 69) / 12))


def _columns(decibels: npt.NDArray[np.float32]) -> tuple[npt.NDArray[np.float32], int]:
    group = max(1, math.ceil(len(decibels) / MAX_COLUMNS))
    if group == 1:
        return decibels, 1
    pad = -len(decibels) % group
    padded = np.concatenate([decibels, np.full((pad, decibels.shape[1]), FLOOR_DB, np.float32)])
    return padded.reshape(-1, group, decibels.shape[1]).max(axis=1), group


def _ticks(low: float, high: float) -> tuple[list[int], dict[int, str]]:
    """Notes labelled large (every C on wide ranges, every natural note on narrow ones), and the
    labels of the other semitones (E and A on wide ranges, so that any line is easy to name)."""
    notes = range(math.ceil(low), math.floor(high) + 1)
    wide = high - low > 30
    major = [n for n in notes if n % 12 == 0] if wide else [n for n in notes if n % 12 in (0, 2, 4, 5, 7, 9, 11)]
    minor = {n: note_name(n) if wide and n % 12 in (4, 9) else "" for n in notes if n not in major}
    return major, minor


def _minutes_and_seconds(ax: Axes, seconds: float) -> None:
    """Time labelled m:ss, on ticks a whole number of seconds or minutes apart (at most 12)."""
    from matplotlib.ticker import FuncFormatter, MultipleLocator

    steps = (10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200)
    step = next((s for s in steps if seconds / s <= 12), steps[-1] * math.ceil(seconds / steps[-1] / 12))
    ax.xaxis.set_major_locator(MultipleLocator(step))
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{int(x) // 60}:{int(x) % 60:02d}"))
    ax.set_xlabel("time (m:ss)")


def figure(spectrogram: Spectrogram, title: str = "") -> Figure:
    """The spectrogram drawn on a new matplotlib figure."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(11.0, 6.5), dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    numbers = np.array([pitch(name) for name in spectrogram.notes])
    half = (numbers[1] - numbers[0]) / 2 if len(numbers) > 1 else 0.5
    low, high = numbers[0] - half, numbers[-1] + half
    decibels, group = _columns(spectrogram.decibels())
    image = ax.imshow(
        decibels.T,
        origin="lower",
        aspect="auto",
        interpolation="nearest",
        extent=(0.0, spectrogram.seconds, low, high),
        cmap=COLOUR_MAP,
        vmin=FLOOR_DB,
        vmax=0.0,
    )
    ticks, minor = _ticks(low, high)
    ax.set_yticks(ticks, [note_name(n) for n in ticks])
    ax.set_yticks(list(minor), list(minor.values()), minor=True, fontsize="x-small", color="0.35")
    ax.grid(axis="y", which="major", color="white", alpha=0.15, linewidth=0.6)
    ax.set_xlabel("time (s)")
    if spectrogram.seconds > 60:
        _minutes_and_seconds(ax, spectrogram.seconds)
    ax.set_ylabel("note")
    hz = ax.twinx()
    hz.set_ylim(low, high)
    tuning = _tuning(spectrogram, numbers)
    hz.set_yticks(ticks, [f"{tuning * 2.0 ** ((n - 69) / 12):.0f}" for n in ticks])
    hz.set_ylabel("frequency (Hz)")
    bar = fig.colorbar(image, ax=[ax, hz], pad=0.01, aspect=30)
    bar.set_label("level (dB, 0 = full-scale sine)")
    hop_ms = spectrogram.hop / spectrogram.sample_rate * 1000.0
    detail = f"{spectrogram.seconds:.2f} s at {spectrogram.sample_rate:g} Hz, a frame every {hop_ms:.3g} ms"
    if group > 1:
        detail += f", loudest of {group} frames per column"
    ax.set_title(f"{title}\n{detail}" if title else detail, fontsize=11)
    return fig


def save_png(spectrogram: Spectrogram, path: StrPath, title: str = "") -> None:
    """Draws the spectrogram into a PNG file, whole or not at all."""
    fig = figure(spectrogram, title)
    with replacing(path) as f:
        fig.savefig(f, format="png")
