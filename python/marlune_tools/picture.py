"""Spectrogram pictures: notes up the side, time across, level in dB as colour.

The colour scale is fixed, from `FLOOR_DB` to 0 dB relative to a full-scale sine, whatever the
file holds: silence is dark and a quiet file looks quiet. Drawn with matplotlib's Agg canvas,
without a screen and without touching pyplot's global state.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Tuple

import numpy as np
import numpy.typing as npt

from marlune_tools.errors import StrPath
from marlune_tools.notes import note_name
from marlune_tools.output import replacing
from marlune_tools.spectrogram import FLOOR_DB, Spectrogram, decibels

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MAX_COLUMNS = 3000  # longer spectrograms are drawn with the loudest of each run of frames
# Frames are reduced to columns this many values at a time, so that a long file's picture needs
# a few MiB beside its frames rather than a copy of them.
CHUNK_VALUES = 1 << 20
COLOUR_MAP = "magma"  # dark to bright, readable in grey too
# Note outlines: a cyan that magma never takes, so that a box reads on black and on bright yellow.
BOX_COLOUR = "#3ee0ff"
Box = Tuple[float, float, float, float]  # left (s), bottom (note number), width (s), height (semitones)


def _columns(frames: npt.NDArray[np.complex64]) -> tuple[npt.NDArray[np.float32], int]:
    """The loudest magnitude of each run of `group` frames, per channel, and `group`."""
    count, channels = frames.shape
    group = max(1, math.ceil(count / MAX_COLUMNS))
    columns = np.empty((math.ceil(count / group), channels), dtype=np.float32)
    step = group * max(1, CHUNK_VALUES // max(1, channels) // group)  # whole runs per chunk
    for first in range(0, count, step):
        magnitudes = np.abs(frames[first : first + step])
        columns[first // group : (first + len(magnitudes) + group - 1) // group] = np.maximum.reduceat(
            magnitudes, np.arange(0, len(magnitudes), group), axis=0)
    return columns, group


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


def figure(spectrogram: Spectrogram, title: str = "", boxes: Sequence[Box] = ()) -> Figure:
    """The spectrogram drawn on a new matplotlib figure, with `boxes` outlined on it (detected
    notes, on the picture's axes of seconds and note numbers)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(11.0, 6.5), dpi=100)
    FigureCanvasAgg(fig)
    # Fixed places, room made for labels of at most five characters: matplotlib's automatic
    # layout took twice the time of all the rest of the drawing (0.3 s a picture).
    ax = fig.add_axes((0.05, 0.08, 0.81, 0.845))
    scale = spectrogram.scale
    # Each channel's row is centred on its note number: half a step of the scale either side.
    half = 0.5 / scale.bins_per_semitone if len(scale) > 1 else 0.5
    low, high = scale.low - half, scale.high + half
    loudest, group = _columns(spectrogram.frames)
    image = ax.imshow(
        decibels(loudest).T,
        origin="lower",
        aspect="auto",
        interpolation="nearest",
        extent=(0.0, spectrogram.seconds, low, high),
        cmap=COLOUR_MAP,
        vmin=FLOOR_DB,
        vmax=0.0,
    )
    _outline(ax, boxes)
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
    hz.set_yticks(ticks, [f"{scale.tuning * 2.0 ** ((n - 69) / 12):.0f}" for n in ticks])
    hz.set_ylabel("frequency (Hz)")
    bar = fig.colorbar(image, cax=fig.add_axes((0.925, 0.08, 0.013, 0.845)))
    bar.set_label("level (dB, 0 = full-scale sine)")
    hop_ms = spectrogram.hop / spectrogram.sample_rate * 1000.0
    detail = f"{spectrogram.seconds:.2f} s at {spectrogram.sample_rate:g} Hz, a frame every {hop_ms:.3g} ms"
    if group > 1:
        detail += f", loudest of {group} frames per column"
    ax.set_title(f"{title}\n{detail}" if title else detail, fontsize=11)
    return fig


def _outline(ax: Axes, boxes: Sequence[Box]) -> None:
    """Outlines, unfilled, in one collection: a long file's thousands of notes draw as one artist."""
    if not boxes:
        return
    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Rectangle

    outlines = PatchCollection(
        [Rectangle((left, bottom), width, height) for left, bottom, width, height in boxes],
        facecolor="none", edgecolor=BOX_COLOUR, linewidth=1.2, gid="notes",
    )
    ax.add_collection(outlines, autolim=False)


def save_png(spectrogram: Spectrogram, path: StrPath, title: str = "", boxes: Sequence[Box] = ()) -> None:
    """Draws the spectrogram, and `boxes` outlined on it, into a PNG file, whole or not at all."""
    fig = figure(spectrogram, title, boxes)
    with replacing(path) as f:
        fig.savefig(f, format="png")
